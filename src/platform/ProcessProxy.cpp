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
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, address.host, address.port));
    QMutexLocker locker(&g_lock);
    g_proxy = address.host + QLatin1Char(':') + QString::number(address.port);
    return true;
}

QString processProxy()
{
    QMutexLocker locker(&g_lock);
    return g_proxy;
}

void notifyProxySettingsChanged() {}

} // namespace platform
