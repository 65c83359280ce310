#pragma once

#include "proxy/BrowserControl.h"

#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <functional>

class CompanionHub;
class TEngineServices;
class TSettings;
struct TCookieClearReport;

namespace platform {
class ProcessRunner;
class SystemProxySettings;
class UrlCache;
} // namespace platform

Q_DECLARE_LOGGING_CATEGORY(lcBrowsers)

// Applies and removes the proxy in every browser and clears cookies, over the platform pieces it
// is given. With no settings store every routine that depends on the user's choices does nothing.
// Runs on the user-interface thread.
class TBrowserRoutines : public IBrowserControl
{
public:
    struct Platform
    {
        // The user's choices: which browsers follow, whether secure pages are hidden, the Firefox path.
        TSettings* settings = nullptr;
        // Where a failure the user must know about is shown; nullptr: it is only traced.
        TEngineServices* services = nullptr;
        // The desktop's proxy stores; each available one is written.
        QList<platform::SystemProxySettings*> desktopProxies;
        // The program's browsing cache; nullptr: nothing to clear.
        platform::UrlCache* urlCache = nullptr;
        platform::ProcessRunner* processes = nullptr;
        // The connected browser companions; nullptr: browsers follow the desktop settings alone.
        CompanionHub* companions = nullptr;
    };

    explicit TBrowserRoutines(const Platform& platform);

    // System proxy: the process proxy, the change notice, then the desktop stores. Never throws.
    void SetIEProxy(const QString& proxy) override;
    // The desktop stores alone.
    void WriteIEProxyRegistry(const QString& proxy);

    // Opera's opera6.ini, section "Proxy"; only an existing file. Throws EBrowserWriteError.
    void SetOperaProxy(const QString& proxy) override;
    // $XDG_CONFIG_HOME/Opera/Opera/profile/opera6.ini.
    static QString OperaProfileFile();

    // The Firefox executable, remembered in FireFoxPath once found; may name a missing file.
    QString GetFirefoxPath();
    bool IsFirefoxInstalled();
    // Hands the proxy (empty: the user's own setting) to every connected browser companion, and to those that
    // connect later: Firefox's while "FF", the Chromium family's while "IE", secure pages too while
    // "HideHttps". Returns at once; starts nothing.
    void SetFirefoxProxy(const QString& proxy) override;
    // Registers the companion's host for this user and opens the Firefox package in Firefox, not
    // waiting for it; whether Firefox started (installing is then up to the user and Firefox).
    bool InstallFirefoxExtension();
    // Writes the host manifests for Firefox and the Chromium-family browsers of this user; the files
    // written, or why not.
    QStringList RegisterCompanionHost();
    // The browsers whose companion is connected now.
    QStringList ConnectedCompanions() const;
    // "browser: reason" for each connected companion that could not keep its browser's WebRTC to the proxy.
    QStringList UnprotectedWebRtc() const;

    // Clears the program's own browsing (nothing when there is none).
    void ClearIECookies() override;
    // Has every connected companion clear its browser's cookies, cache and history and deletes the cookies
    // of closed browsers' profiles; does not wait (the outcome goes to the trace).
    void ClearFirefoxCookies() override;
    // Clears everywhere it can (own browsing, companions) and reports, once every companion answered
    // or timed out, what was cleared and what was not. done runs on this thread, later.
    void ClearBrowserCookies(std::function<void(const TCookieClearReport&)> done);

    void setSettings(TSettings* settings) { m_platform.settings = settings; }
    void setServices(TEngineServices* services) { m_platform.services = services; }
    void setUrlCache(platform::UrlCache* cache) { m_platform.urlCache = cache; }
    void setCompanions(CompanionHub* companions) { m_platform.companions = companions; }

    // The argument vector that opens the Firefox package beside the program's executable.
    static QStringList FirefoxInstallArgs();
    // The unpacked Chromium companion beside the program's executable.
    static QString ChromiumCompanionFolder();
    // The native messaging host beside the program's executable.
    static QString CompanionHostExecutable();

private:
    // ClearIECookies; false when there is no browsing of the program's own to clear.
    bool clearOwnBrowsing();
    // The browsers' part of clearing (companions, closed profiles), with the program's own browsing first
    // when ownBrowsing.
    void clearBrowsers(bool ownBrowsing, std::function<void(const TCookieClearReport&)> done);

    Platform m_platform;
};
