#include "proxy/BrowserRoutines.h"

#include "config/TSettings.h"
#include "platform/GnomeProxySettings.h"
#include "platform/KdeProxySettings.h"
#include "platform/ProcessProxy.h"
#include "platform/ProcessRunner.h"
#include "platform/QueuedProxySettings.h"
#include "platform/UrlCache.h"
#include "proxy/CompanionHub.h"
#include "proxy/TBrowserRoutines.h"
#include "util/EngineServices.h"

#include <memory>

Q_LOGGING_CATEGORY(lcBrowsers, "veilport.browsers")

namespace {

void warnOnceAboutEnvironmentProxy()
{
    static bool warned = false;
    if (warned)
        return;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) {
        if (qEnvironmentVariableIsEmpty(name))
            continue;
        warned = true;
        qCWarning(lcBrowsers) << name
                              << "is set in the environment; programs started from it, Firefox among them, prefer it"
                                 " to the desktop proxy settings";
        return;
    }
}

} // namespace

TBrowserRoutines::TBrowserRoutines(const Platform& platform) : m_platform(platform) {}

void TBrowserRoutines::SetIEProxy(const QString& proxy)
{
    TSettings* settings = m_platform.settings;
    if (!settings)
        return;
    try {
        QString p = proxy;
        if (!settings->ReadBool(QStringLiteral("IE"), true))
            p.clear();
        if (!platform::setProcessProxy(p)) {
            const QString text =
                QStringLiteral("Setting the desktop proxy failed. Please restart Veilport to try again.");
            if (m_platform.services)
                m_platform.services->ShowMessageBox(text, {}, 0, TEngineServices::mtError, TEngineServices::mbOK, 0);
            else
                qCWarning(lcBrowsers).noquote() << text;
        }
        // Listeners are told before the stores change, the order the program has always had.
        platform::notifyProxySettingsChanged();
        WriteIEProxyRegistry(p);
    } catch (...) {
        // The next browser must still get its proxy; this one has no more to say.
    }
}

void TBrowserRoutines::WriteIEProxyRegistry(const QString& proxy)
{
    if (!proxy.isEmpty())
        warnOnceAboutEnvironmentProxy();
    // Secure pages are hidden too unless the user chose to send only plain pages through the proxy.
    const bool https = !m_platform.settings || m_platform.settings->ReadBool(QStringLiteral("HideHttps"), true);
    for (platform::SystemProxySettings* store : std::as_const(m_platform.desktopProxies)) {
        if (!store || !store->isAvailable())
            continue;
        if (!store->apply(proxy, https))
            qCWarning(lcBrowsers) << "could not write the" << store->name() << "proxy settings";
    }
}

bool TBrowserRoutines::ClearIECookies()
{
    platform::UrlCache* cache = m_platform.urlCache;
    if (!cache) {
        qCDebug(lcBrowsers) << "no browsing cache to clear";
        return false;
    }
    constexpr quint32 deletable =
        platform::UrlCache::CookieEntry | platform::UrlCache::UrlHistoryEntry | platform::UrlCache::NormalEntry;
    const QList<platform::UrlCacheEntry> entries = cache->entries();
    qCDebug(lcBrowsers) << "clearing the web view's cookies, history and cached pages:" << entries.size() << "entries";
    for (const platform::UrlCacheEntry& entry : entries) {
        if (entry.entryType & deletable) {
            qCDebug(lcBrowsers).noquote() << "deleting" << entry.sourceUrl;
            cache->deleteEntry(entry.sourceUrl);
        } else {
            qCDebug(lcBrowsers).noquote() << "keeping" << entry.sourceUrl;
        }
    }
    qCDebug(lcBrowsers) << "web view cache cleared";
    return true;
}

namespace {

struct DefaultRoutines
{
    platform::GnomeProxySettings gnome;
    platform::KdeProxySettings kde;
    // A change waits for the settings service or a disk flush (milliseconds, far more on a busy machine);
    // the running program has it written in the background (SetDesktopProxyWritesInBackground).
    platform::QueuedProxySettings desktop{&gnome, &kde};
    platform::LocalProcessRunner processes;
    CompanionHub companions;
    std::unique_ptr<TBrowserRoutines> routines;

    DefaultRoutines()
    {
        TBrowserRoutines::Platform p;
        p.desktopProxies = {&desktop};
        p.processes = &processes;
        p.companions = &companions;
        routines = std::make_unique<TBrowserRoutines>(p);
    }
};

DefaultRoutines& defaults()
{
    static DefaultRoutines instance;
    return instance;
}

} // namespace

TBrowserRoutines& DefaultBrowserRoutines()
{
    return *defaults().routines;
}

void SetDesktopProxyWritesInBackground(bool on)
{
    defaults().desktop.setBackground(on);
}

void PostDesktopProxyJob(std::function<void()> job)
{
    defaults().desktop.post(std::move(job));
}

void SetBrowserSettings(TSettings* settings)
{
    DefaultBrowserRoutines().setSettings(settings);
}

void SetBrowserServices(TEngineServices* services)
{
    DefaultBrowserRoutines().setServices(services);
}

void SetBrowserUrlCache(platform::UrlCache* cache)
{
    DefaultBrowserRoutines().setUrlCache(cache);
}

void SetIEProxy(const QString& proxy)
{
    DefaultBrowserRoutines().SetIEProxy(proxy);
}

void SetFirefoxProxy(const QString& proxy)
{
    DefaultBrowserRoutines().SetFirefoxProxy(proxy);
}

void SetOperaProxy(const QString& proxy)
{
    DefaultBrowserRoutines().SetOperaProxy(proxy);
}

bool ClearIECookies()
{
    return DefaultBrowserRoutines().ClearIECookies();
}

void ClearBrowserCookies(std::function<void(const TCookieClearReport&)> done)
{
    DefaultBrowserRoutines().ClearBrowserCookies(std::move(done));
}

QStringList RegisterCompanionHost()
{
    return DefaultBrowserRoutines().RegisterCompanionHost();
}

CompanionHub& DefaultCompanionHub()
{
    return defaults().companions;
}

void ClearFirefoxCookies()
{
    DefaultBrowserRoutines().ClearFirefoxCookies();
}

bool InstallFirefoxExtension()
{
    return DefaultBrowserRoutines().InstallFirefoxExtension();
}

bool IsFirefoxInstalled()
{
    return DefaultBrowserRoutines().IsFirefoxInstalled();
}

QString GetFirefoxPath()
{
    return DefaultBrowserRoutines().GetFirefoxPath();
}
