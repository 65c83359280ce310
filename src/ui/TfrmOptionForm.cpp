#include "ui/TfrmOptionForm.h"

#include "config/BlockingOptions.h"
#include "config/TSettings.h"
#include "browsers/TBrowserRoutines.h"
#include "ui/CompanionNotice.h"
#include "ui/TLocalisation.h"
#include "ui/TfrmLocateFirefox.h"
#include "util/EngineServices.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>

namespace {

QCheckBox* makeCheckBox(QWidget* page, const char* name, const QString& text, int x, int y, int w, int h)
{
    auto* box = new QCheckBox(text, page);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(x, y, w, h);
    return box;
}

} // namespace

TfrmOptionForm::TfrmOptionForm(TSettings& settings, TEngineServices& messages, QWidget* parent,
                               TOptionFormServices services)
    : QDialog(parent), m_settings(settings), m_messages(messages), m_services(std::move(services))
{
    setObjectName(QStringLiteral("frmOptionForm"));
    setWindowTitle(QStringLiteral("Advance Settings"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(434, 344);

    pcSetting = new QTabWidget(this);
    pcSetting->setObjectName(QStringLiteral("pcSetting"));
    pcSetting->setGeometry(6, 6, 411, 283);
    buildGeneralPage();
    buildBrowserPage();
    buildButtonPanel();

    const QWidget* anchor = parentWidget() ? parentWidget()->window() : nullptr;
    if (anchor && anchor->isVisible()) {
        move(anchor->frameGeometry().center() - rect().center());
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->geometry().center() - rect().center());
    }
    // Translated before FormCreate, which sets the state of the controls but no texts of the design.
    AttachWindowTranslator(this);
    FormCreate();
}

void TfrmOptionForm::buildGeneralPage()
{
    tsGeneral = new QWidget;
    tsGeneral->setObjectName(QStringLiteral("tsGeneral"));
    pcSetting->addTab(tsGeneral, QStringLiteral("General"));

    cbAutoRun = makeCheckBox(tsGeneral, "cbAutoRun", QStringLiteral("Automatically run Veilport when I log in"), 10, 9,
                             389, 25);
    cbAutoUpdate = makeCheckBox(tsGeneral, "cbAutoUpdate",
                                QStringLiteral("Automaticaly check updates when Veilport starts"), 10, 41, 389, 25);

    lbSettingfor = new QLabel(QStringLiteral("Adopt the settings of"), tsGeneral);
    lbSettingfor->setObjectName(QStringLiteral("lbSettingfor"));
    lbSettingfor->move(14, 89);
    lbSettingfor->adjustSize();

    cbAllUsers = new QComboBox(tsGeneral);
    cbAllUsers->setObjectName(QStringLiteral("cbAllUsers"));
    cbAllUsers->setGeometry(224, 85, 169, 20);
    cbAllUsers->addItems({QStringLiteral("All Users"), QStringLiteral("Current User"), QString()});
    // Opens on "All Users" without selecting it, whatever mode is in use.
    cbAllUsers->setPlaceholderText(QStringLiteral("All Users"));
    cbAllUsers->setCurrentIndex(-1);
    // activated: every pick by the user, also of the entry already shown, and never a fill by code.
    connect(cbAllUsers, &QComboBox::activated, this, &TfrmOptionForm::cbAllUsersChange);

    // Read at the next Hide: a run under way keeps its way of hiding until then.
    cbUseTor = makeCheckBox(tsGeneral, "cbUseTor", QStringLiteral("Hide through Tor instead of listed proxies"), 10,
                            121, 389, 25);

    btnClearShowAgainFlag = new QPushButton(QStringLiteral("Clear Show Again Flag"), tsGeneral);
    btnClearShowAgainFlag->setObjectName(QStringLiteral("btnClearShowAgainFlag"));
    btnClearShowAgainFlag->setGeometry(8, 225, 149, 25);
    connect(btnClearShowAgainFlag, &QPushButton::clicked, this, &TfrmOptionForm::btnClearShowAgainFlagClick);
}

void TfrmOptionForm::buildBrowserPage()
{
    tsBrowser = new QWidget;
    tsBrowser->setObjectName(QStringLiteral("tsBrowser"));
    pcSetting->addTab(tsBrowser, QStringLiteral("Browser"));

    lbBrowser = new QLabel(QStringLiteral("Hide Your IP In Selected Browsers"), tsBrowser);
    lbBrowser->setObjectName(QStringLiteral("lbBrowser"));
    lbBrowser->move(8, 16);
    lbBrowser->adjustSize();

    cbIE = makeCheckBox(tsBrowser, "cbIE", QStringLiteral("Desktop proxy settings (GNOME, KDE)"), 24, 48, 360, 25);
    // The desktop's own proxy is what hiding is; it is always written.
    cbIE->setEnabled(false);
    cbFF = makeCheckBox(tsBrowser, "cbFF", QStringLiteral("Fire Fox"), 24, 80, 150, 25);
    cbOpera = makeCheckBox(tsBrowser, "cbOpera", QStringLiteral("Opera"), 24, 112, 150, 25);
    cbHideHttps =
        makeCheckBox(tsBrowser, "cbHideHttps", QStringLiteral("Also hide secure (https) pages"), 24, 152, 360, 25);
    cbBlockWhenNoProxy = makeCheckBox(tsBrowser, "cbBlockWhenNoProxy",
                                      QStringLiteral("Block the web when no working proxy is left"), 24, 184, 380, 25);

    btnReinstallFF = new QPushButton(QStringLiteral("Re-install FireFox Extension"), tsBrowser);
    btnReinstallFF->setObjectName(QStringLiteral("btnReinstallFF"));
    btnReinstallFF->setGeometry(24, 216, 145, 25);
    connect(btnReinstallFF, &QPushButton::clicked, this, &TfrmOptionForm::btnReinstallFFClick);
}

void TfrmOptionForm::buildButtonPanel()
{
    pnButton = new QWidget(this);
    pnButton->setObjectName(QStringLiteral("pnButton"));
    pnButton->setGeometry(0, height() - 39, width(), 39);

    btnOk = new QPushButton(QStringLiteral("&OK"), pnButton);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(241, 9, 75, 25);
    btnOk->setDefault(true);
    connect(btnOk, &QPushButton::clicked, this, &TfrmOptionForm::btnOkClick);

    btnCancel = new QPushButton(QStringLiteral("Cancel"), pnButton);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(329, 9, 75, 25);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmOptionForm::FormCreate()
{
    cbAutoUpdate->setVisible(m_settings.GetConstBool(QStringLiteral("Update.Enable"), false));
    LoadOptions();
    pcSetting->setCurrentWidget(tsGeneral);
}

void TfrmOptionForm::LoadOptions()
{
    Loading = true;
    auto read = [this](const char* key, bool def) { return m_settings.ReadBool(QLatin1String(key), def); };
    cbAutoRun->setChecked(read("AutoRun", false));
    cbAutoUpdate->setChecked(read("AutoCheckUpdate", true));
    cbIE->setChecked(read("IE", true));
    cbFF->setChecked(read("FF", true));
    cbOpera->setChecked(read("OPERA", true));
    cbHideHttps->setChecked(read("HideHttps", true));
    cbUseTor->setChecked(read("UseTor", false));
    cbBlockWhenNoProxy->setChecked(BlockingOptions::fromSettings(m_settings).blockWhenNoProxy);
    Loading = false;
}

void TfrmOptionForm::SaveOptions()
{
    m_settings.WriteBool(QStringLiteral("AutoRun"), cbAutoRun->isChecked());
    // Written on every OK, so the log-on entry follows the setting even if someone removed it.
    if (m_services.SetAutoRun)
        m_services.SetAutoRun(cbAutoRun->isChecked());
    m_settings.WriteBool(QStringLiteral("AutoCheckUpdate"), cbAutoUpdate->isChecked());
    m_settings.WriteBool(QStringLiteral("IE"), cbIE->isChecked());
    m_settings.WriteBool(QStringLiteral("FF"), cbFF->isChecked());
    m_settings.WriteBool(QStringLiteral("OPERA"), cbOpera->isChecked());
    m_settings.WriteBool(QStringLiteral("HideHttps"), cbHideHttps->isChecked());
    m_settings.WriteBool(QStringLiteral("UseTor"), cbUseTor->isChecked());
    BlockingOptions::writeBlockWhenNoProxy(m_settings, cbBlockWhenNoProxy->isChecked());
}

void TfrmOptionForm::btnOkClick()
{
    try {
        SaveOptions();
    } catch (const std::exception& e) {
        // A settings folder or log-on folder that cannot be written: say so and let the user
        // cancel, rather than ending the program from inside a button click.
        m_messages.ShowMessageBox(QString::fromLocal8Bit(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
        return;
    }
    accept();
}

void TfrmOptionForm::btnClearShowAgainFlagClick()
{
    try {
        m_settings.ClearShowAgainFlags();
    } catch (const std::exception& e) {
        m_messages.ShowMessageBox(QString::fromLocal8Bit(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
    }
}

void TfrmOptionForm::cbAllUsersChange(int index)
{
    if (Loading)
        return;
    const bool allUsers = index == 0;
    const QString key = allUsers ? QStringLiteral("MSGBOX_SetAllUsers") : QStringLiteral("MSGBOX_SetCurrentUser");
    const int answer =
        m_messages.ShowMessageBox(key, {}, 0, TEngineServices::mtConfirmation, TEngineServices::mbOKCancel, 0);
    if (answer != TEngineServices::mrOk)
        return;
    // Closed as Cancel: the check boxes are not saved, the other folder has its own settings.
    reject();
    if (m_services.PostAllUsersRestart)
        m_services.PostAllUsersRestart(allUsers);
}

void TfrmOptionForm::btnReinstallFFClick()
{
    if (!m_services.Routines)
        return;
    TBrowserRoutines& routines = *m_services.Routines;
    if (routines.IsFirefoxInstalled()) {
        const bool started = routines.InstallFirefoxExtension();
        m_messages.ShowMessageBox(
            FirefoxCompanionNotice(m_messages, started, routines.ConnectedCompanions()) + QStringLiteral("\n\n") +
                ChromiumCompanionNotice(m_messages, TBrowserRoutines::ChromiumCompanionFolder(),
                                        routines.ConnectedCompanions()) +
                QStringLiteral("\n\n") + WebRtcCompanionNotice(m_messages, routines.UnprotectedWebRtc()),
            {}, 0, TEngineServices::mtInformation, TEngineServices::mbOK, 0);
        return;
    }
    if (m_services.ShowLocateFirefox) {
        m_services.ShowLocateFirefox(this);
        return;
    }
    TfrmLocateFirefox locate(m_settings, m_messages, routines, this);
    locate.exec();
}
