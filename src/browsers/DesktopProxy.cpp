#include "browsers/TBrowserRoutines.h"

#include "config/TSettings.h"
#include "platform/ProcessProxy.h"
#include "platform/SystemProxySettings.h"
#include "util/EngineServices.h"

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
