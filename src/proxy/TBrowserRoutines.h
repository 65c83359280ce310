#pragma once

#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

namespace platform {
class ProcessRunner;
class SystemProxySettings;
class UrlCache;
} // namespace platform

Q_DECLARE_LOGGING_CATEGORY(lcBrowsers)

// Applies and removes the proxy in every browser and clears cookies, over the platform pieces it
// is given. Settings come from Settings(); with no settings store every routine does nothing.
// Runs on the user-interface thread.
class TBrowserRoutines
{
public:
    struct Platform
    {
        // The desktop's proxy stores; each available one is written.
        QList<platform::SystemProxySettings*> desktopProxies;
        // The program's browsing cache; nullptr: nothing to clear.
        platform::UrlCache* urlCache = nullptr;
        platform::ProcessRunner* processes = nullptr;
        // Bound of the wait for a hidden Firefox; a current Firefox never ends by itself.
        int firefoxWaitMs = 5000;
    };

    explicit TBrowserRoutines(const Platform& platform);

    // System proxy: the process proxy, the change notice, then the desktop stores. Never throws.
    void SetIEProxy(const QString& proxy);
    // The desktop stores alone.
    void WriteIEProxyRegistry(const QString& proxy);

    // Opera's opera6.ini, section "Proxy"; only an existing file. Throws EBrowserWriteError.
    void SetOperaProxy(const QString& proxy);
    // $XDG_CONFIG_HOME/Opera/Opera/profile/opera6.ini.
    static QString OperaProfileFile();

    // The Firefox executable, remembered in FireFoxPath once found; may name a missing file.
    QString GetFirefoxPath();
    bool IsFirefoxInstalled();
    // Starts Firefox hidden with the set- or clear-proxy command and waits, at most the bound.
    void SetFirefoxProxy(const QString& proxy);
    // Starts Firefox with the extension package; whether it started.
    bool InstallFirefoxExtension();

    void ClearIECookies();
    void ClearFirefoxCookies();

    void setUrlCache(platform::UrlCache* cache) { m_platform.urlCache = cache; }
    void setFirefoxWaitMs(int ms) { m_platform.firefoxWaitMs = ms; }

    // The argument vectors of the Firefox commands; the chrome URL is always one argument.
    static QStringList FirefoxSetProxyArgs(const QString& proxy);
    static QStringList FirefoxClearProxyArgs();
    static QStringList FirefoxClearCookiesArgs();
    // The extension package beside the program's executable.
    static QStringList FirefoxInstallArgs();

private:
    Platform m_platform;
};
