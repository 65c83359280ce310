#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

struct ssl_ctx_st;

namespace testsupport {

// A small HTTP server on its own thread that answers every request with one fixed status and body and closes
// the connection. It listens on as many loopback ports as asked, so it can stand in for many HTTP proxies at
// once (it answers proxy requests like any other) or be the origin behind real proxies. It needs no event loop
// of the test's thread, so results can be held back from the user-interface thread while it answers. Where
// the reply itself is under test (its timing, its bytes, its failures), ScriptedHttpServer plays it.
//
// It can also serve TLS (listenTls, with a certificate from makeCertificate) and, for tests that must know who
// reached it, keep a visit log: each connection with the process at its other end (a browser, or the proxy
// that carried the browser's request), the request line and, for TLS, how the handshake ended.
//
//     LoopbackHttpResponder site;
//     site.listen(1);
//     site.listenTls(1, dir + "/site.pem", dir + "/site.key");
//     site.setReply(200, "<html>…</html>", "text/html");
//     site.recordVisits();
//     site.start();
//     … site.visits() …
class LoopbackHttpResponder
{
public:
    // One accepted connection, as the visit log holds it.
    struct Visit
    {
        int port = 0;          // the listener's port
        bool tls = false;      // accepted on a TLS listener
        qint64 peerPid = 0;    // the process holding the other end; 0 when it could not be found
        QByteArray peer;       // that process's name (/proc/<pid>/comm), empty when unknown
        QByteArray request;    // the request line, empty when none arrived
        QByteArray cookie;     // the request's Cookie header, empty when it had none
        QByteArray tlsFailure; // why the handshake failed (a browser that does not trust the certificate ends it)
    };

    LoopbackHttpResponder();
    ~LoopbackHttpResponder();
    LoopbackHttpResponder(const LoopbackHttpResponder&) = delete;
    LoopbackHttpResponder& operator=(const LoopbackHttpResponder&) = delete;

    // Listens on count more ephemeral ports of address (a 127.x.y.z address); false when a bind fails.
    // Must be called before start().
    bool listen(int count, const QByteArray& address = "127.0.0.1");
    // The same with TLS, using a PEM certificate and key (before start()); false when they cannot be loaded.
    bool listenTls(int count, const QString& certificateFile, const QString& keyFile,
                   const QByteArray& address = "127.0.0.1");
    // Sets the answer (before start()); headers are more header lines, each ending in CR LF.
    void setReply(int status, const QByteArray& body, const QByteArray& contentType = "text/plain",
                  const QByteArray& headers = {});
    // Sets the answer to requests whose path starts with pathPrefix (before start()); others get setReply's.
    void setReplyFor(const QByteArray& pathPrefix, int status, const QByteArray& body,
                     const QByteArray& contentType = "text/plain", const QByteArray& headers = {});
    // Refuses TLS below 1.3, as a service may that keeps up with the times (before start()).
    void requireTls13() { m_tls13Only = true; }
    // Keeps the visit log (before start()). Finding the peer process reads /proc, so busy benchmarks leave it off.
    void recordVisits() { m_recordVisits = true; }
    // Starts serving.
    void start();
    // Stops serving and closes every socket.
    void stop();

    // "address:port" of listener i.
    QString hostPort(int i) const;
    // Port of listener i.
    int port(int i) const { return m_listeners.at(i).port; }
    int listenerCount() const { return int(m_listeners.size()); }
    // Requests answered so far (counted as the answer starts, so never after the client has it).
    int requests() const { return m_requests.load(); }
    // TLS handshakes completed so far, and those among them that resumed an earlier session (no key exchange).
    int tlsHandshakes() const { return m_tlsHandshakes.load(); }
    int tlsResumed() const { return m_tlsResumed.load(); }
    // The visit log so far, in order of acceptance.
    QList<Visit> visits() const;

    // Writes a self-signed certificate for hostName and its key (PEM) into folder with the openssl tool;
    // returns false, with the tool's output in error, when that fails.
    static bool makeCertificate(const QString& folder, const QString& hostName, QString* certificateFile,
                                QString* keyFile, QString* error);

private:
    struct Listener
    {
        int fd = -1;
        QByteArray address;
        int port = 0;
        bool tls = false;
    };
    bool listenOn(int count, const QByteArray& address, bool tls);
    int recordVisit(int fd, const Listener& listener);
    void updateVisit(int index, const QByteArray& request, const QByteArray& tlsFailure);
    const QByteArray& replyTo(const QByteArray& request) const;
    void run();

    QList<Listener> m_listeners;
    QByteArray m_reply;
    QList<QPair<QByteArray, QByteArray>> m_pathReplies; // (path prefix, reply)
    ssl_ctx_st* m_tls = nullptr;
    bool m_recordVisits = false;
    bool m_tls13Only = false;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic_bool m_stop{false};
    std::atomic_int m_requests{0};
    std::atomic_int m_tlsHandshakes{0};
    std::atomic_int m_tlsResumed{0};
    mutable std::mutex m_lock; // guards m_visits
    QList<Visit> m_visits;
    std::thread m_thread;
};

} // namespace testsupport
