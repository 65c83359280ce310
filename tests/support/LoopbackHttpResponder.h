#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <thread>

namespace testsupport {

// A small HTTP server on its own thread that answers every request with one fixed status and body and closes
// the connection. It listens on as many loopback ports as asked, so it can stand in for many HTTP proxies at
// once (it answers proxy requests like any other) or be the origin behind real proxies. Unlike
// ScriptedHttpServer it needs no event loop of the test's thread, so results can be held back from the
// user-interface thread while it answers.
class LoopbackHttpResponder
{
public:
    LoopbackHttpResponder();
    ~LoopbackHttpResponder();
    LoopbackHttpResponder(const LoopbackHttpResponder&) = delete;
    LoopbackHttpResponder& operator=(const LoopbackHttpResponder&) = delete;

    // Listens on count more ephemeral ports of address (a 127.x.y.z address); false when a bind fails.
    // Must be called before start().
    bool listen(int count, const QByteArray& address = "127.0.0.1");
    // Sets the answer (before start()).
    void setReply(int status, const QByteArray& body);
    // Starts serving.
    void start();
    // Stops serving and closes every socket.
    void stop();

    // "address:port" of listener i.
    QString hostPort(int i) const;
    int listenerCount() const { return int(m_listeners.size()); }
    // Requests answered so far.
    int requests() const { return m_requests.load(); }

private:
    struct Listener
    {
        int fd = -1;
        QByteArray address;
        int port = 0;
    };
    void run();

    QList<Listener> m_listeners;
    QByteArray m_reply;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic_bool m_stop{false};
    std::atomic_int m_requests{0};
    std::thread m_thread;
};

} // namespace testsupport
