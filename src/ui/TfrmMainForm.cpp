#include "ui/TfrmMainForm.h"

#include "ui/ForceForegroundWindow.h"
#include "util/EngineServices.h"

#if __has_include("config/TSettings.h")
#include "config/TSettings.h"
#define VEILPORT_HAVE_SETTINGS 1
#endif

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTimer>

TfrmMainForm* frmMainForm = nullptr;

namespace {
// The tray notice shown at the first close; its answer can be remembered under this number.
constexpr int kTrayNoticeId = 31;
const char* const kTrayNotice = "Veilport will be minimized to the system tray. To exit please right click on the "
                                "tray icon and choose \"Exit\".";
} // namespace

TfrmMainForm::TfrmMainForm(QWidget* parent)
    : QWidget(parent)
{
    frmMainForm = this;
    setObjectName(QStringLiteral("frmMainForm"));
    setWindowTitle(QStringLiteral("Veilport"));

    acExit = new QAction(QStringLiteral("E&xit"), this);
    acExit->setObjectName(QStringLiteral("acExit"));
    connect(acExit, &QAction::triggered, this, &TfrmMainForm::acExitExecute);

    pmTrayIcon = new QMenu(this);
    pmTrayIcon->setObjectName(QStringLiteral("pmTrayIcon"));
    QAction* open = pmTrayIcon->addAction(QStringLiteral("&Open..."));
    open->setObjectName(QStringLiteral("Open1"));
    connect(open, &QAction::triggered, this, &TfrmMainForm::Open1Click);
    pmTrayIcon->addAction(acExit);

    spTrayIcon = new QSystemTrayIcon(this);
    spTrayIcon->setObjectName(QStringLiteral("spTrayIcon"));
    spTrayIcon->setToolTip(QStringLiteral("Veilport"));
    spTrayIcon->setContextMenu(pmTrayIcon);
    if (TrayAvailable())
        spTrayIcon->show();
    setFixedSize(476, 302);
}

TfrmMainForm::~TfrmMainForm()
{
    if (frmMainForm == this)
        frmMainForm = nullptr;
}

void TfrmMainForm::WMInstanceClose()
{
    ExitRequested = true;
    close();
}

int TfrmMainForm::WMInstanceQueryId()
{
#ifdef VEILPORT_HAVE_SETTINGS
    if (Settings())
        return Settings()->GetConstInt(QStringLiteral("App.ID"), 0);
#endif
    return 0;
}

void TfrmMainForm::WMCopyData(const QByteArray& data)
{
    // A second start hands over its first argument; it is accepted and not acted on.
    m_lastCopyData = QString::fromLocal8Bit(data);
}

void TfrmMainForm::WMEndSession()
{
    ExitRequested = true;
}

void TfrmMainForm::WMDropFiles(const QStringList& files)
{
    ForceForegroundWindow(this);
    QStringList dropped = files; // collected and discarded: the window takes no files
    dropped.clear();
}

bool TfrmMainForm::TrayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TfrmMainForm::Open1Click()
{
    ForceForegroundWindow(this);
}

void TfrmMainForm::acExitExecute()
{
    ExitRequested = true;
    close();
}

void TfrmMainForm::SaveQuickSettings() {}

void TfrmMainForm::HideToTray()
{
    // Without a tray the hidden window could never be reached again, so it is only minimised.
    if (TrayAvailable())
        hide();
    else
        showMinimized();
}

bool TfrmMainForm::FormCloseQuery()
{
    if (!ExitRequested) {
        const int answer = EngineServices().ShowMessageBox(QString::fromLatin1(kTrayNotice), {}, kTrayNoticeId,
                                                           TEngineServices::mtInformation, TEngineServices::mbOK, 0);
        if (answer == TEngineServices::mrOk)
            HideToTray();
        else
            ExitRequested = true;
    }
    SaveQuickSettings();
    return ExitRequested;
}

void TfrmMainForm::closeEvent(QCloseEvent* event)
{
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}
