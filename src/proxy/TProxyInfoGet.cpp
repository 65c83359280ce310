#include "proxy/TProxyInfoGet.h"

#include "net/HttpClient.h"
#include "util/MainThreadQueue.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>

#include <exception>
#include <memory>
#include <thread>

namespace {

// What the download hands its text to. It is made, used and let go on the user-interface thread only: the
// guard's bookkeeping belongs to the object it watches, so the background thread merely carries it.
struct Receiver
{
    QPointer<QObject> guard;
    std::function<void(const QString&)> done;
};

// Lets the receiver go on the user-interface thread (where it is not, it goes with the calling thread: the
// application is gone then).
void release(std::shared_ptr<Receiver>& receiver)
{
    PostToMainThread([receiver = std::move(receiver)]() mutable { receiver.reset(); });
}

} // namespace

void TProxyInfoGet::Start(const QString& url, QPointer<QObject> guard, std::function<void(const QString&)> done)
{
    auto receiver = std::make_shared<Receiver>(Receiver{std::move(guard), std::move(done)});
    std::thread([url, receiver = std::move(receiver)]() mutable {
        qCDebug(lcProxyTrace).noquote() << "Downloading proxy list:" << url;
        QString text;
        {
            HttpClient client; // direct: the list comes from the service itself
            const HttpResponse response = client.get(url);
            if (!response.ok) {
                qCDebug(lcProxyTrace).noquote() << "Proxy list download failed:" << response.error;
                release(receiver);
                return;
            }
            text = QString::fromUtf8(response.body);
        }
        RunOnMainThreadAndWait([&] {
            if (receiver->guard && receiver->done) {
                try {
                    receiver->done(text);
                } catch (const std::exception& error) {
                    qCWarning(lcProxyTrace).noquote() << "Proxy list handler failed:" << error.what();
                }
            }
            receiver.reset();
        });
        if (receiver)
            release(receiver);
    }).detach();
}
