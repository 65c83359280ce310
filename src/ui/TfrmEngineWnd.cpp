#include "ui/TfrmEngineWnd.h"

#include "config/SettingsError.h"
#include "config/TSettings.h"
#include "platform/DefaultBrowser.h"
#include "platform/XdgAutostart.h"
#include "browsers/DesktopBrowsers.h"
#include "browsers/LoginGuardBrowserControl.h"
#include "proxy/TProxyManager.h"
#include "ui/TLanguageProvider.h"
#include "ui/TLocalisation.h"
#include "i18n/MessageTexts.h"
#include "i18n/TSkinEngine.h"
#include "ui/SettingsWriteGuard.h"
#include "ui/TMessageDialog.h"
#include "ui/IMainView.h"
#include "util/SPTools.h"

#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QMetaObject>

Q_LOGGING_CATEGORY(lcEngine, "veilport.engine", QtWarningMsg)

TfrmEngineWnd* frmEngineWnd = nullptr;

namespace {
// The icon list holds at most this many files (il_01.png ... il_70.png).
constexpr int kMaxIcons = 70;
} // namespace

TfrmEngineWnd::TfrmEngineWnd(DesktopBrowsers& browsers, QWidget* parent, std::unique_ptr<platform::Autostart> autostart)
    : QWidget(parent), m_autostart(autostart ? std::move(autostart) : std::make_unique<platform::XdgAutostart>()),
      m_browsers(browsers)
{
    setObjectName(QStringLiteral("frmEngineWnd"));
    frmEngineWnd = this;
    SetEngineServices(this);
    FormCreate();
}

TfrmEngineWnd::~TfrmEngineWnd()
{
    FormDestroy();
    if (&EngineServices() == this)
        SetEngineServices(nullptr);
    if (frmEngineWnd == this)
        frmEngineWnd = nullptr;
}

void TfrmEngineWnd::FormCreate()
{
    TSettings* settings = Settings();
    if (!settings) {
        qCWarning(lcEngine) << "the settings store does not exist";
        return;
    }
    bool tellCurrentUser = false;
    try {
        tellCurrentUser = ChooseSettingsFolder();
        SetAllUsersMode(settings->ReadAllUsersFlag());
    } catch (const ESettingsError& error) {
        // Without a settings folder nothing can be remembered; the user is told why and the
        // program ends instead of running on and losing every change.
        TMessageDialog::Execute(nullptr, LangText(QString::fromLatin1(MessageText::kAppName)),
                                QString::fromLocal8Bit(error.what()), mtError, mbOK, false);
        return;
    }

    // The language engine and the skin live here; every window reaches them through Localisation().
    // Their files lie beside the constants (the program's folder).
    m_localisation =
        std::make_unique<TLocalisation>(this, settings->ProgramFolder(), [](const QString& name, const QString& value) {
            // The choice still applies now; a failure only keeps it from the next start.
            GuardSettingsWrite([&](TSettings& store) { store.WriteString(name, value); });
        });
    SetLanguageProvider(m_localisation.get());
    const QString forced = settings->GetConst(QStringLiteral("Language.Force"));
    SetLanguage(!forced.isEmpty() ? forced
                                  : settings->ReadString(QStringLiteral("Language"), QStringLiteral("English")));
    // Told only now, so that the notice speaks the user's language instead of showing its keys.
    if (tellCurrentUser)
        ShowPlainNotice(QString::fromLatin1(MessageText::kHaveToCurrentUser));

    LoadIcons();

    // The pool's developer trace writes a line per proxy handed to the tester, ten thousand at a time on
    // this thread; the running program keeps it quiet unless QT_LOGGING_RULES asks for it.
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));
    AttachBrowsers(*settings);
    ProxyManager = std::make_unique<TProxyManager>(
        *m_browserControl, *this, TProxyManager::TestUrlForHost(settings->GetConst(QStringLiteral("URL.ServiceHost"))));
    connect(ProxyManager.get(), &TProxyManager::listLoaded, this, &TfrmEngineWnd::OnProxyListLoaded);
    connect(ProxyManager.get(), &TProxyManager::proxyChanged, this, &TfrmEngineWnd::OnHide);
    connect(ProxyManager.get(), &TProxyManager::stopped, this, &TfrmEngineWnd::OnStopHide);
    connect(ProxyManager.get(), &TProxyManager::progress, this, &TfrmEngineWnd::OnTestProgress);
    connect(ProxyManager.get(), &TProxyManager::proxyVerified, this, &TfrmEngineWnd::OnProxyVerified);
    connect(ProxyManager.get(), &TProxyManager::proxyCheckFailed, this, &TfrmEngineWnd::OnProxyCheckFailed);
    ApplyProxyTestOptions();

    m_startSucceeded = true;
}

bool TfrmEngineWnd::ChooseSettingsFolder()
{
    TSettings* settings = Settings();
    if (!settings->HasAllUsersFlag()) {
        // First start of this user: all users share the settings when the machine allows it.
        if (settings->CanWriteCommonFolder()) {
            settings->WriteAllUsersFlag(true);
            return false;
        }
        settings->WriteAllUsersFlag(false);
        return true;
    }
    if (settings->ReadAllUsersFlag() && !settings->CanWriteCommonFolder()) {
        // The stored choice no longer works (the folder lost its write access): fall back for good.
        settings->WriteAllUsersFlag(false);
        return true;
    }
    return false;
}

void TfrmEngineWnd::AttachBrowsers(const TSettings& settings)
{
    // A proxy is applied on this thread, between two test results; the desktop's tools must not hold it up.
    m_browsers.setWritesInBackground(true);
    m_browserControl = std::make_unique<LoginGuardBrowserControl>(
        m_browsers.routines(), *m_autostart, settings.UserFolder() + LoginGuardBrowserControl::MemoryFileName(),
        [this](std::function<void()> job) { m_browsers.post(std::move(job)); });
}

void TfrmEngineWnd::ShowPlainNotice(const QString& textKey)
{
    // Shown before any window exists, so it is a plain box that does not depend on the main window.
    TMessageDialog::Execute(nullptr, LangText(QString::fromLatin1(MessageText::kAppName)), LangText(textKey),
                            mtInformation, mbOK, false);
}

void TfrmEngineWnd::FormDestroy()
{
    // The manager drives the browser control, so it goes first. Browser settings stay as they are.
    ProxyManager.reset();
    // The last change of the desktop's settings (a stop at Exit) must land before the program ends, and
    // the log-in guard's queued jobs must have run before the guard goes.
    m_browsers.setWritesInBackground(false);
    m_browserControl.reset();
}

void TfrmEngineWnd::SetAllUsersMode(bool allUsers)
{
    AllUsersMode = allUsers;
    Settings()->OpenSettingsFile(allUsers);
}

QString TfrmEngineWnd::LangText(const QString& key) const
{
    return m_language ? m_language->LangText(key) : key;
}

void TfrmEngineWnd::LangStrings(const QString& section, QStringList& list) const
{
    if (m_language)
        m_language->LangStrings(section, list);
}

void TfrmEngineWnd::SetLanguage(const QString& name)
{
    m_languageName = name;
    if (m_language)
        m_language->SetLanguage(name);
}

void TfrmEngineWnd::SetLanguageProvider(TLanguageProvider* provider)
{
    m_language = provider;
}

void TfrmEngineWnd::SetMainWindow(QWidget* window)
{
    m_mainWindow = window;
}

QWidget* TfrmEngineWnd::MainWindow() const
{
    return m_mainWindow;
}

void TfrmEngineWnd::SetMainView(IMainView* view)
{
    m_view = view;
}

int TfrmEngineWnd::ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType,
                                  int buttons, int fixedResult)
{
    const QString text = FormatArgs(LangText(key), args);
    QWidget* mainWindow = MainWindow();
    if (!mainWindow)
        return mrNone;
    TSettings* settings = Settings();
    if (showAgainId != 0 && settings && !settings->ReadShowAgain(showAgainId))
        return fixedResult != 0 ? fixedResult : settings->ReadShowAgainResult(showAgainId);

    // Parent only to a visible main window: a box parented to a window hidden in the tray would be
    // placed relative to nothing the user can see.
    QWidget* parent = mainWindow->isVisible() ? mainWindow : nullptr;
    const TMessageDialog::Outcome outcome =
        TMessageDialog::Execute(parent, mainWindow->windowTitle(), text, msgType, buttons, showAgainId != 0);

    if (showAgainId != 0 && outcome.showAgainTicked) {
        // The answer still counts for this time; a failure only keeps it from being remembered.
        GuardSettingsWrite([&](TSettings& store) {
            store.WriteShowAgain(showAgainId, false);
            store.WriteShowAgainResult(showAgainId, outcome.result);
        });
    }
    return outcome.result;
}

void TfrmEngineWnd::ReportSettingsWriteError(const QString& reason)
{
    if (m_writeErrorShown)
        return;
    const QString key = QString::fromLatin1(MessageText::kSettingsNotSaved);
    const QString pattern = LangText(key);
    // Without a language file the reason alone is clearer than the key.
    const QString text = pattern == key ? reason : FormatArgs(pattern, {reason});
    // Counted as told only when a box could show: before the main window exists nothing is shown.
    m_writeErrorShown = ShowMessageBox(text, {}, 0, mtError, mbOK, 0) != mrNone;
}

void TfrmEngineWnd::ShowErrorMessage(int code, const QString& extra)
{
    QString text = FormatArgs(LangText(QStringLiteral("ERRORMSG_") + QString::number(code)), {extra});
    if (text.isEmpty())
        text = extra;
    ShowMessageBox(text, {}, 0, mtError, mbOK, 0);
}

void TfrmEngineWnd::OpenUrl(const QString& url)
{
    platform::LaunchDefaultBrowser(m_processes, url);
}

bool TfrmEngineWnd::SetAutoRun(bool enable)
{
    QString error;
    // A log-on start opens no window (-autorun): the tray, or the task bar without one, leads to it.
    if (m_autostart->setEnabled(LangText(QString::fromLatin1(MessageText::kAppName)), GetExeFileName(),
                                {QStringLiteral("-autorun")}, enable, &error))
        return true;
    // Shown the way an unhandled error of a command is shown: the user learns it, the program goes on.
    if (QWidget* mainWindow = MainWindow())
        TMessageDialog::Execute(mainWindow->isVisible() ? mainWindow : nullptr, mainWindow->windowTitle(), error,
                                mtError, mbOK, false);
    qCWarning(lcEngine) << error;
    return false;
}

void TfrmEngineWnd::LoadIcons()
{
    liIconsPng.clear();
    const QString folder = Settings() ? Settings()->ProgramFolder() : GetAppPath();
    auto iconFile = [&folder](int n) {
        return folder + QStringLiteral("res/images/il_") + IntToStrPad(n, 2, u'0') + QStringLiteral(".png");
    };
    if (!QFileInfo::exists(iconFile(1)))
        return;
    const QImage first(iconFile(1), "PNG");
    if (first.isNull())
        return;
    liIconsPngSize = first.size();
    for (int n = 1; n <= kMaxIcons; ++n) {
        const QString file = iconFile(n);
        if (!QFileInfo::exists(file))
            break;
        liIconsPng.append(QPixmap(file, "PNG"));
    }
}

void TfrmEngineWnd::RestartWithUserMode(int wParam)
{
    try {
        Settings()->WriteAllUsersFlag(wParam != 0);
    } catch (const ESettingsError& error) {
        // Restarting would only come back in the old mode; say why nothing happens instead.
        if (QWidget* mainWindow = MainWindow())
            TMessageDialog::Execute(mainWindow->isVisible() ? mainWindow : nullptr, mainWindow->windowTitle(),
                                    QString::fromLocal8Bit(error.what()), mtError, mbOK, false);
        return;
    }
    // Not waited for: the new copy first asks this one to close, so this one must stay responsive.
    QString error;
    if (!m_processes.startDetached(GetExeFileName(), {QStringLiteral("-r")}, &error))
        qCWarning(lcEngine) << "could not start the new copy:" << error;
    if (m_view)
        m_view->CloseForGood();
}

void TfrmEngineWnd::PostAllUsersRestart(bool allUsers)
{
    const int wParam = allUsers ? 1 : 0;
    QMetaObject::invokeMethod(
        this, [this, wParam] { RestartWithUserMode(wParam); }, Qt::QueuedConnection);
}

void TfrmEngineWnd::SetSkin(const QString& name)
{
    if (m_localisation)
        m_localisation->SetSkin(name);
}

QString TfrmEngineWnd::GetCurrentSkin() const
{
    return m_localisation ? m_localisation->GetCurrentSkin() : QString();
}

int TfrmEngineWnd::GetSkinList(QStringList& list) const
{
    list.clear();
    return m_localisation ? m_localisation->Skin().GetSkinList(list) : 0;
}
