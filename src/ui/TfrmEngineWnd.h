#pragma once

#include "platform/Autostart.h"
#include "platform/ProcessRunner.h"
#include "util/EngineServices.h"

#include <QImage>
#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class DesktopBrowsers;
class IBrowserControl;
class IMainView;
class THTTPGet;
class TIEDownload;
class TUpdateCheck;
class TLanguageProvider;
class TLocalisation;
class TProxyManager;
class TSettings;
struct TProxyRec;

namespace platform {
class Autostart;
class SystemInfo;
} // namespace platform

// The hidden window that carries the services every window needs: the choice of the settings
// folder, localised texts, the program's message box, opening addresses, the log-on start, the
// icon list, the restart that switches between all-users and per-user settings, and the proxy
// manager with its event handlers. It is never shown and is not the application's main window.
// While it exists it is the program's TEngineServices, so code below the user interface reaches
// its texts and message box too.
class TfrmEngineWnd : public QWidget, public TEngineServices
{
    Q_OBJECT

public:
    // Runs FormCreate. browsers: what the proxy manager applies its proxies to (must outlive this window).
    // autostart: the log-on start mechanism (the desktop's autostart folder when null).
    explicit TfrmEngineWnd(DesktopBrowsers& browsers, QWidget* parent = nullptr,
                           std::unique_ptr<platform::Autostart> autostart = {});
    ~TfrmEngineWnd() override;

    // The settings folder in use is the all-users folder.
    bool AllUsersMode = false;
    // The PNG icons of res/images (il_01.png ...), and their common size.
    QList<QPixmap> liIconsPng;
    QSize liIconsPngSize{20, 20};
    // The one proxy pool of the program (created by FormCreate).
    std::unique_ptr<TProxyManager> ProxyManager;

    // False when the settings folder could not be set up; the program then ends without a window.
    bool StartSucceeded() const { return m_startSucceeded; }
    // The desktop's browsers, for the windows that clear cookies or set up the companions.
    DesktopBrowsers& Browsers() const { return m_browsers; }

    // Sets AllUsersMode and opens Setting.dat in the matching folder (throws ESettingsError).
    void SetAllUsersMode(bool allUsers);

    QString LangText(const QString& key) const override;
    void LangStrings(const QString& section, QStringList& list) const override;
    // Loads a language through the language engine; remembered as the current language name.
    void SetLanguage(const QString& name);
    // The language loaded last.
    QString LanguageName() const { return m_languageName; }
    // Plugs in the language engine (not owned; null goes back to keys read as themselves).
    void SetLanguageProvider(TLanguageProvider* provider);
    // Shows skins/<name>.skn, or the built-in skin when there is no such file, and stores the choice.
    void SetSkin(const QString& name);
    // Empty while the built-in skin shows, else the name of the skin file shown.
    QString GetCurrentSkin() const;
    // The skin files beside the program (names sorted without case, "Default" left out); returns their number.
    int GetSkinList(QStringList& list) const;

    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult) override;
    void ShowErrorMessage(int code, const QString& extra) override;
    // Tells the user that a setting could not be stored (reason: the file and why), once per
    // session: later failures are only traced, so a full disk does not bury the window in boxes.
    void ReportSettingsWriteError(const QString& reason);
    // Opens an address in the user's browser; failures are not reported.
    void OpenUrl(const QString& url);
    // Registers or removes the log-on start under the product name of the current language.
    // A failure is shown as an error message; the result tells whether the change was made.
    bool SetAutoRun(bool enable);
    // Loads res/images/il_01.png, il_02.png, ... up to the first missing one (at most 70).
    void LoadIcons();
    // The handler of the all-users restart: stores the choice, starts a new copy with "-r" without
    // waiting for it and closes this copy through its main window.
    void RestartWithUserMode(int wParam);
    // Queues RestartWithUserMode as a posted message would (the options dialog's request).
    void PostAllUsersRestart(bool allUsers);

    // The window whose caption message boxes carry and whose existence lets them show (the main
    // window sets itself while it exists).
    void SetMainWindow(QWidget* window);
    QWidget* MainWindow() const;
    // Where the hiding handlers show what happens; null while there is no main window (not owned).
    void SetMainView(IMainView* view);
    IMainView* MainView() const { return m_view; }

    // Handlers of the proxy manager's events.
    void OnProxyListLoaded(TProxyManager* manager);
    void OnHide(const TProxyRec& rec);
    void OnStopHide();
    // A check through the applied proxy passed: shows the address the web now sees (and that the user
    // hides again, after a check that failed).
    void OnProxyVerified(const TProxyRec& rec, const QString& seenAddress);
    // A check through the applied proxy failed: the window stops saying that the user hides.
    void OnProxyCheckFailed(const QString& proxy);
    // Gives the proxy manager what a proxy must show, from the constants and the user's settings.
    void ApplyProxyTestOptions();
    void OnTestProgress(int max, int current);

    // Flags of the hiding display (EngineHiding.cpp): the own country's and the proxy country's,
    // from the flag cache in the settings folder or fetched into it.
    void ShowLocalFlag(const QString& country, const QString& url);
    void ShowProxyFlag(const QString& country, const QString& url);
    // Completions of the two flag fetches.
    void hglocalDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize);
    void hgFlagDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize);
    // The fetchers of the own and the proxy country's flag (children of this window, made on first use).
    THTTPGet* hglocal = nullptr;
    THTTPGet* hgFlag = nullptr;
    // The flag image loaded last.
    QImage FlagImage;
    // Loads a cached flag file into FlagImage; false (and an undecodable file removed) when it must be fetched.
    bool LoadCachedFlag(const QString& file);

    // Service requests and the update check (EngineUpdate.cpp).
    // The common query string every service address carries.
    QString BuildQueryString() const;
    // The address of site page key ("help", "home"), with the query string when withQuery is set.
    QString BuildSiteUrl(const QString& key, bool withQuery) const;
    // Opens site page key in the browser, telling the site the place it was opened from.
    void OpenSitePage(const QString& key, int position);
    // Asks the service for a newer version; manual: the user asked, so every outcome is reported.
    void CheckForUpdate(bool manual);
    // The daily automatic check, at the main window's first showing.
    void AutoCheckForUpdate();
    // Completion of iedNetConnection (the update request): the body and the channel's result code.
    void iedNetConnectionComplete(TIEDownload* sender, const QByteArray& stream, int result);
    // A check the user asked for was made in this run.
    bool UpdateManual() const;
    // An update request is in flight.
    bool UpdateBusy() const;
    // Replaces the machine facts the query string reports (tests pass fixed values).
    void SetSystemInfo(std::unique_ptr<platform::SystemInfo> systemInfo);
    // The channel of the update request; created with the first check.
    TIEDownload* iedNetConnection = nullptr;

private:
    void FormCreate();
    void FormDestroy();
    // The manager's browser control: the log-in guard in front of the desktop's browsers, whose writes
    // then run in the background.
    void AttachBrowsers(const TSettings& settings);
    // Settles the folder choice in UserFlag.ini; true when the user must be told that the
    // all-users folder cannot be used.
    bool ChooseSettingsFolder();
    void ShowPlainNotice(const QString& textKey);
    // "You are hiding your real ip " with the own address, in the current language.
    QString HidingSentence() const;
    // Has the main window warn that the applied proxy failed its last check.
    void ShowCheckFailed(const QString& proxy);

    std::unique_ptr<platform::Autostart> m_autostart;
    // Opens addresses in the browser and starts the copy that restarts the program.
    platform::LocalProcessRunner m_processes;
    DesktopBrowsers& m_browsers;
    std::unique_ptr<IBrowserControl> m_browserControl;
    TLanguageProvider* m_language = nullptr;
    QPointer<QWidget> m_mainWindow;
    IMainView* m_view = nullptr;
    // The address the main window shows last: the own one, the proxy's, or what a check saw.
    QString m_shownAddress;
    // The last check of the applied proxy (m_failedProxy) failed, and the window says so.
    bool m_checkFailedShown = false;
    QString m_failedProxy;
    QString m_languageName;
    bool m_startSucceeded = false;
    bool m_writeErrorShown = false;
    // Update check (EngineUpdate.cpp): created on first use, children of this window.
    void EnsureUpdateCheck();
    TUpdateCheck* m_updateCheck = nullptr;
    std::shared_ptr<platform::SystemInfo> m_systemInfo;
    // Languages and skins: smLanguage, smdCurrent, smdDefault, spcConfig, spSkinData and the skin texts.
    std::unique_ptr<TLocalisation> m_localisation;
};

// The engine window while it exists, else null.
extern TfrmEngineWnd* frmEngineWnd;
