#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

namespace testsupport {

// A loopback HTTP server that answers with scripted raw bytes, for replies no well-behaved server gives:
// wrong or missing Content-Length, pauses before or inside the body, bodies that trickle in or never end,
// absurd lengths, broken status lines, noise, connections that are dropped early or never answered.
//
// It listens on 127.0.0.1 on a port the system chooses from the moment it is made, and serves on a thread of
// its own, so it keeps answering while the thread under test is blocked or busy, and it never holds a
// generated body in memory (a body of several GiB costs nothing here). Unless the reply says otherwise, a
// connection first reads one request (head and, with Content-Length, its body), records it, then plays its
// reply and closes. A client that leaves ends its connection at once.
//
//     using Reply = ScriptedHttpServer::Reply;
//     ScriptedHttpServer server;
//     server.setDefaultReply(Reply::http(404, "gone"));
//     server.enqueueReply(Reply().pause(6000).send(ScriptedHttpServer::httpHead(200, 2)).send("ok"));
//     fetch(server.url("/update/?&LANG=English"));
//     ASSERT_TRUE(server.waitForRequests(1, 5000));
//     EXPECT_TRUE(server.lastRequest().startsWith("GET /update/"));
//
//     peer.start(Reply().send(ScriptedHttpServer::httpHead(200, 3ll << 30)).stream(3ll << 30));
//
// Replies queued with enqueueReply serve the next requests in order; after that every connection gets the
// default reply (an empty 200 unless set).
class ScriptedHttpServer
{
public:
    // A sequence of steps played on one connection. Unless it ends with hang(), the connection is closed
    // after the last step.
    class Reply
    {
    public:
        // Writes bytes as they are.
        Reply& send(const QByteArray& bytes);
        // Writes count bytes of fill as fast as the client takes them; count < 0 never ends.
        Reply& stream(qint64 count, char fill = 'a');
        // Writes the bytes one at a time, intervalMs apart; empty bytes trickle fill for ever.
        Reply& trickle(const QByteArray& bytes, int intervalMs, char fill = 'a');
        // Writes bytes in chunks of chunkSize with intervalMs between chunks.
        Reply& chunked(const QByteArray& bytes, int chunkSize, int intervalMs);
        // Waits before the next step.
        Reply& pause(int ms);
        // Keeps the connection open and silent until the client leaves or the server is destroyed.
        Reply& hang();
        // Starts the steps as soon as a connection is accepted, without waiting for a request.
        Reply& withoutRequest();

        // A complete reply: status line, headers (Content-Length first unless withLength is false; extra
        // headers after it), blank line, body.
        static Reply http(int status, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers = {},
                          bool withLength = true);

        struct Step
        {
            enum Kind
            {
                Send,
                Stream,
                Trickle,
                Pause,
                Hang
            } kind;
            QByteArray bytes;
            qint64 count = 0;
            int ms = 0;
            char fill = 'a';
        };
        QList<Step> steps;
        bool waitForRequest = true;
    };

    ScriptedHttpServer();
    // Stops serving and closes every connection.
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // The reply for every connection that finds no queued reply.
    void setDefaultReply(const Reply& reply);
    // A reply for the next request that has none yet; queued replies are used in order.
    void enqueueReply(const Reply& reply);
    // Serves every connection with script (as setDefaultReply); false when the server could not listen.
    bool start(const Reply& script);

    // The port the server listens on.
    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>".
    QString hostPort() const;
    // "http://127.0.0.1:<port>" followed by path (which should start with "/").
    QString url(const QString& path) const;

    // The raw requests received so far (each head cut at 64 KiB when it never ends), in order of arrival.
    QList<QByteArray> requests() const;
    int requestCount() const;
    // The newest request, or empty when none arrived.
    QByteArray lastRequest() const;
    // Runs the event loop until at least count requests arrived or timeoutMs passed.
    bool waitForRequests(int count, int timeoutMs);
    // Connections accepted so far, and those still open (hanging or still being answered).
    int connections() const { return m_connections.load(); }
    int openConnections() const { return m_open.load(); }
    // Bytes the clients have taken from this server so far, over all connections.
    qint64 bytesSent() const { return m_bytesSent.load(); }

    // A status line and headers with Content-Length, ending in the blank line.
    static QByteArray httpHead(int status, qint64 contentLength);
    // count bytes that are the same on every call with the same seed, for noise replies.
    static QByteArray noise(int count, quint32 seed = 1);
    // A SOCKS5 server's choice of method (0: no authentication, 2: user name and password, 0xFF: none
    // acceptable), for scripts that play a SOCKS5 peer: with withoutRequest() they answer as soon as the
    // client connects, and the client finds the answer once it has sent its greeting.
    static QByteArray socks5Method(quint8 method);
    // A SOCKS5 server's reply to CONNECT (0: succeeded, 5: connection refused ...), bound to 0.0.0.0:0.
    static QByteArray socks5Reply(quint8 code);
    // The header lines of a raw request (without the request line), in order.
    static QList<QByteArray> headerLines(const QByteArray& request);
    // The value of a header of a raw request (name compared without case), or empty.
    static QByteArray headerValue(const QByteArray& request, const QByteArray& name);

private:
    // Hands out the next reply (the first queued one, else the default) to a connection; one that waits for
    // a request only once the request has arrived. Returns whether it did.
    bool takeReply(Reply& reply, bool requestArrived);
    void run();

    int m_listenFd = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    quint16 m_port = 0;
    std::atomic_bool m_stop{false};
    std::atomic_int m_connections{0};
    std::atomic_int m_open{0};
    std::atomic<qint64> m_bytesSent{0};
    mutable std::mutex m_lock; // guards the replies and m_requests
    Reply m_defaultReply;
    QList<Reply> m_queued;
    QList<QByteArray> m_requests;
    std::thread m_thread;
};

} // namespace testsupport
