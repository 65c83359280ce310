#include "ui/TfrmLocateFirefox.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "browsers/TBrowserRoutines.h"
#include "ui/CompanionNotice.h"
#include "ui/TLocalisation.h"
#include "util/EngineServices.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

// Where distributions install Firefox; the dialog opens in the first that exists.
QString initialFolder()
{
    for (const QString& folder :
         {QStringLiteral("/usr/lib/firefox"), QStringLiteral("/usr/lib/firefox-esr"), QStringLiteral("/opt/firefox")}) {
        if (QFileInfo(folder).isDir())
            return folder;
    }
    return QStringLiteral("/usr/bin");
}

} // namespace

TfrmLocateFirefox::TfrmLocateFirefox(TSettings& settings, TEngineServices& services, TBrowserRoutines& routines,
                                     QWidget* parent)
    : QDialog(parent), m_settings(settings), m_services(services), m_routines(routines)
{
    setObjectName(QStringLiteral("frmLocateFirefox"));
    setWindowTitle(QStringLiteral("Firefox"));
    // Dialog border, no minimise or maximise box, no close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(506, 162);

    lbText = new QLabel(
        QStringLiteral("The Firefox extension is not installed. Please specify the path of the Firefox!"), this);
    lbText->setObjectName(QStringLiteral("lbText"));
    lbText->setWordWrap(true);
    lbText->setGeometry(16, 16, 474, 80);
    lbText->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    btnP5Brower = new QPushButton(QStringLiteral("&Browse"), this);
    btnP5Brower->setObjectName(QStringLiteral("btnP5Brower"));
    btnP5Brower->setGeometry(326, 122, 75, 25);
    btnP5Brower->setDefault(true);
    connect(btnP5Brower, &QPushButton::clicked, this, &TfrmLocateFirefox::btnP5BrowerClick);

    btnP5Cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnP5Cancel->setObjectName(QStringLiteral("btnP5Cancel"));
    btnP5Cancel->setGeometry(415, 122, 75, 25);
    connect(btnP5Cancel, &QPushButton::clicked, this, &QDialog::reject);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    AttachWindowTranslator(this);
}

QString TfrmLocateFirefox::runFileDialog()
{
    QFileDialog od(this, QStringLiteral("Open file"), initialFolder(),
                   QStringLiteral("Firefox executable (firefox firefox-esr firefox-bin firefox*);;All files (*)"));
    od.setObjectName(QStringLiteral("od"));
    od.setFileMode(QFileDialog::ExistingFile);
    od.setAcceptMode(QFileDialog::AcceptOpen);
    if (od.exec() != QDialog::Accepted || od.selectedFiles().isEmpty())
        return QString();
    return od.selectedFiles().constFirst();
}

void TfrmLocateFirefox::btnP5BrowerClick()
{
    const QString file = m_chooseFile ? m_chooseFile() : runFileDialog();
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return;
    try {
        m_settings.WriteString(QStringLiteral("FireFoxPath"), file);
    } catch (const std::exception& e) {
        m_services.ShowMessageBox(QString::fromLocal8Bit(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
        return;
    }
    if (m_routines.InstallFirefoxExtension()) {
        m_services.ShowMessageBox(FirefoxCompanionNotice(m_services, true, m_routines.ConnectedCompanions()) +
                                      QStringLiteral("\n\n") +
                                      WebRtcCompanionNotice(m_services, m_routines.UnprotectedWebRtc()),
                                  {}, 0, TEngineServices::mtInformation, TEngineServices::mbOK, 0);
        accept();
    } else {
        m_services.ShowMessageBox(QString::fromUtf8(MessageText::kSpecificationWrong), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
    }
}
