#include "platform/ProcessProxy.h"

#include "platform/ProxyAddress.h"

#include <QMutex>
#include <QMutexLocker>
#include <QNetworkProxy>

namespace platform {

namespace {
// Worker threads read the value while the user-interface thread writes it.
QMutex g_lock;
QString g_proxy;
} // namespace

bool setProcessProxy(const QString& proxy)
{
    if (proxy.isEmpty()) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        QMutexLocker locker(&g_lock);
        g_proxy.clear();
        return true;
    }
    const ProxyAddress address = ProxyAddress::parse(proxy);
    if (!address.isValid())
        return false;
    // A SOCKS5 proxy resolves the names too (Qt's default for it, and the web view's), so no lookup of the
    // user's own tells where the program goes.
    const auto type = address.socks5 ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy;
    QNetworkProxy::setApplicationProxy(QNetworkProxy(type, address.host, address.port));
    QMutexLocker locker(&g_lock);
    g_proxy = address.text();
    return true;
}

QString processProxy()
{
    QMutexLocker locker(&g_lock);
    return g_proxy;
}

void notifyProxySettingsChanged() {}

} // namespace platform
