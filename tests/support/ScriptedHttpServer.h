#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

// A loopback HTTP server that answers with scripted raw bytes, for tests that need replies no
// well-behaved server gives: wrong or missing Content-Length, pauses before or inside the body,
// bodies that trickle in, connections that are dropped early or never answered.
//
// It listens on 127.0.0.1 on a port the system chooses and runs on the thread that created it,
// so the test must run that thread's event loop while a client talks to it (QSignalSpy::wait,
// QTRY_*, waitForRequests). Each connection reads one request (head and, with Content-Length,
// its body), records the raw bytes, then plays its reply:
//
//     ScriptedHttpServer server;
//     server.setDefaultReply(ScriptedHttpServer::Reply::http(404, "gone"));
//     server.enqueueReply(ScriptedHttpServer::Reply().pause(6000).send(ScriptedHttpServer::httpHead(200,
//     2)).send("ok")); fetch(server.url("/update/?&LANG=English")); ASSERT_TRUE(server.waitForRequests(1, 5000));
//     EXPECT_TRUE(server.lastRequest().startsWith("GET /update/"));
//
// Replies queued with enqueueReply serve the next connections in order; after that every
// connection gets the default reply (an empty 200 unless set).
class ScriptedHttpServer : public QObject
{
    Q_OBJECT

public:
    // A sequence of steps played on one connection. Unless it ends with hang(), the connection is
    // closed after the last step.
    class Reply
    {
    public:
        // Writes bytes as they are.
        Reply& send(const QByteArray& bytes);
        // Waits before the next step.
        Reply& pause(int ms);
        // Writes bytes in chunks of chunkSize with intervalMs between chunks.
        Reply& trickle(const QByteArray& bytes, int chunkSize, int intervalMs);
        // Keeps the connection open and silent until the server is destroyed.
        Reply& hang();

        // A complete reply: status line, headers (Content-Length first unless withLength is
        // false; extra headers after it), blank line, body.
        static Reply http(int status, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers = {},
                          bool withLength = true);

        struct Step
        {
            enum Kind
            {
                Send,
                Pause,
                Hang
            } kind;
            QByteArray bytes;
            int ms = 0;
        };
        QList<Step> steps;
    };

    explicit ScriptedHttpServer(QObject* parent = nullptr);
    ~ScriptedHttpServer() override;

    // The port the server listens on.
    quint16 port() const;
    // "127.0.0.1:<port>".
    QString hostPort() const;
    // "http://127.0.0.1:<port>" followed by path (which should start with "/").
    QString url(const QString& path) const;

    // The reply for every connection that finds no queued reply.
    void setDefaultReply(const Reply& reply);
    // A reply for the next connection that has none yet; queued replies are used in order.
    void enqueueReply(const Reply& reply);

    // The raw requests received so far, in order of arrival.
    QList<QByteArray> requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    // The newest request, or empty when none arrived.
    QByteArray lastRequest() const { return m_requests.isEmpty() ? QByteArray() : m_requests.last(); }
    // Runs the event loop until at least count requests arrived or timeoutMs passed.
    bool waitForRequests(int count, int timeoutMs);
    // Connections that are still open (hanging or still being answered).
    int openConnections() const;

    // A status line and headers with Content-Length, ending in the blank line.
    static QByteArray httpHead(int status, qint64 contentLength);
    // The header lines of a raw request (without the request line), in order.
    static QList<QByteArray> headerLines(const QByteArray& request);
    // The value of a header of a raw request (name compared without case), or empty.
    static QByteArray headerValue(const QByteArray& request, const QByteArray& name);

signals:
    // A request arrived on a connection; raw holds its bytes.
    void requestReceived(const QByteArray& raw);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection* connection);
    void playNext(Connection* connection);
    void dropConnection(Connection* connection);

    std::unique_ptr<QTcpServer> m_server;
    Reply m_defaultReply;
    QList<Reply> m_queued;
    QList<QByteArray> m_requests;
    QList<Connection*> m_connections;
};

} // namespace testsupport
