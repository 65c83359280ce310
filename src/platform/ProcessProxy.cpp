#include "platform/ProcessProxy.h"

#include "platform/ProxyAddress.h"

#include <QMutex>
#include <QMutexLocker>
#include <QNetworkProxy>
#include <QPointer>

#include <utility>
#include <vector>

namespace platform {

namespace {
// Worker threads read the value while the user-interface thread writes it.
QMutex g_lock;
QString g_proxy;

struct Watcher
{
    QPointer<QObject> context;
    std::function<void(const QString&)> listener;
};
std::vector<Watcher> g_watchers;

// Stores the value, and tells the watchers when it changed: the same proxy set again (the stop of a run that never
// hid, a rotation to the proxy in use) must not cost a watcher its work.
void store(const QString& proxy)
{
    std::vector<Watcher> watchers;
    {
        QMutexLocker locker(&g_lock);
        if (g_proxy == proxy)
            return;
        g_proxy = proxy;
        std::erase_if(g_watchers, [](const Watcher& w) { return w.context.isNull(); });
        watchers = g_watchers;
    }
    // Outside the lock: a listener may read the value back.
    for (const Watcher& watcher : watchers) {
        if (watcher.context)
            watcher.listener(proxy);
    }
}
} // namespace

bool setProcessProxy(const QString& proxy)
{
    if (proxy.isEmpty()) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        store(QString());
        return true;
    }
    const ProxyAddress address = ProxyAddress::parse(proxy);
    if (!address.isValid())
        return false;
    // A SOCKS5 proxy resolves the names too (Qt's default for it, and the web view's), so no lookup of the
    // user's own tells where the program goes.
    const auto type = address.socks5 ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy;
    QNetworkProxy::setApplicationProxy(QNetworkProxy(type, address.host, address.port));
    store(address.text());
    return true;
}

QString processProxy()
{
    QMutexLocker locker(&g_lock);
    return g_proxy;
}

void watchProcessProxy(QObject* context, std::function<void(const QString&)> listener)
{
    if (!context || !listener)
        return;
    QMutexLocker locker(&g_lock);
    g_watchers.push_back({context, std::move(listener)});
}

void notifyProxySettingsChanged() {}

} // namespace platform
