#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class ApplicationServices;
class DesktopBrowsers;
class Engine;
class IMainView;
class SettingsWriteGuard;
class TProxyManager;
class TSettings;
class UpdateController;

// The hidden window that the rest of the program knows: it is never shown and is not the
// application's main window. The engine builds it and the services behind it; the window hands each
// request to the part that does the job (texts and message boxes, the update check, hiding), and
// receives the all-users restart.
class TfrmEngineWnd : public QWidget
{
    Q_OBJECT

public:
    // engine: the owner, which outlives the window.
    explicit TfrmEngineWnd(Engine& engine);
    ~TfrmEngineWnd() override;

    TSettings& Settings() const;
    ApplicationServices& Services() const;
    UpdateController& Update() const;
    // Runs settings writes whose failure is reported to the user once per session.
    const SettingsWriteGuard& WriteGuard() const;
    // The one proxy pool of the program; null when the start failed.
    TProxyManager* ProxyManager() const;
    // The desktop's browsers, for the windows that clear cookies or set up the companions.
    DesktopBrowsers& Browsers() const;

    QString LangText(const QString& key) const;
    // Loads a language through the language engine; remembered as the current language name.
    void SetLanguage(const QString& name);
    // Shows skins/<name>.skn, or the built-in skin when there is no such file, and stores the choice.
    void SetSkin(const QString& name);
    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult);
    // Opens an address in the user's browser; failures are not reported.
    void OpenUrl(const QString& url);
    // Registers or removes the log-on start; a failure is shown, the result tells whether it was made.
    bool SetAutoRun(bool enable);

    // The handler of the all-users restart: stores the choice, starts a new copy with "-r" without
    // waiting for it and closes this copy through its main window.
    void RestartWithUserMode(int wParam);
    // Queues RestartWithUserMode as a posted message would (the options dialog's request).
    void PostAllUsersRestart(bool allUsers);

    // The window whose caption message boxes carry and whose existence lets them show, and where the
    // hiding display shows what happens; the main window sets itself while it exists (not owned).
    void SetMainWindow(QWidget* window);
    void SetMainView(IMainView* view);
    IMainView* MainView() const;
    // Gives the proxy manager what a proxy must show, from the constants and the user's settings.
    void ApplyProxyTestOptions();
    // Hiding through Tor while no list has loaded: Hide is offered anyway (see HidingPresenter).
    bool OfferHidingWithoutList();

    // Service requests and the update check.
    QString BuildQueryString() const;
    void OpenSitePage(const QString& key, int position);
    void CheckForUpdate(bool manual);
    void AutoCheckForUpdate();

private:
    Engine& m_engine;
};
