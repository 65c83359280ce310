#include "proxy/TProxyInfoGet.h"

#include "net/HttpClient.h"
#include "util/MainThreadQueue.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>

#include <exception>
#include <thread>

void TProxyInfoGet::Start(const QString& url, QPointer<QObject> guard, std::function<void(const QString&)> done)
{
    std::thread([url, guard, done = std::move(done)] {
        qCDebug(lcProxyTrace).noquote() << "Downloading proxy list:" << url;
        QString text;
        {
            HttpClient client; // direct: the list comes from the service itself
            const HttpResponse response = client.get(url);
            if (!response.ok) {
                qCDebug(lcProxyTrace).noquote() << "Proxy list download failed:" << response.error;
                return;
            }
            text = QString::fromUtf8(response.body);
        }
        RunOnMainThreadAndWait([&] {
            if (!guard || !done)
                return;
            try {
                done(text);
            } catch (const std::exception& error) {
                qCWarning(lcProxyTrace).noquote() << "Proxy list handler failed:" << error.what();
            }
        });
    }).detach();
}
