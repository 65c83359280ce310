#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QSslSocket;
class QTcpSocket;

// One parsed request: the path and query are percent-decoded, header names lower-cased.
struct HttpRequest
{
    QByteArray method;
    QString path;
    QHash<QString, QString> query; // names lower-cased; the first occurrence of a name wins
    QHash<QByteArray, QByteArray> headers;
    // Every header line in the order received, the name spelled as the client sent it.
    QList<QPair<QByteArray, QByteArray>> rawHeaders;
    QHostAddress peer;

    bool hasParam(const QString& name) const { return query.contains(name.toLower()); }
    QString param(const QString& name) const { return query.value(name.toLower()); }
};

struct HttpResponse
{
    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;

    static HttpResponse text(int status, const QByteArray& body);
    static HttpResponse html(int status, const QByteArray& body);
};

// A deliberately small HTTP/1.1 server: GET and HEAD only, one request per connection, bounded
// header size, idle time and connections (in all and per client address), so that no client,
// however broken or hostile, can crash it or tie it up. It serves plain HTTP on one port and,
// optionally, the same over TLS on another.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    static constexpr int kMaxHeaderBytes = 16 * 1024;
    static constexpr int kMaxRequestLineBytes = 8 * 1024;
    static constexpr int kIdleTimeoutMs = 10000;
    static constexpr int kSweepIntervalMs = 250;
    static constexpr int kMaxConnections = 256;
    static constexpr int kDefaultMaxPerAddress = 32;
    // Connections the kernel keeps for us while the thread is busy. Qt's default of 50 is less than a
    // hundred clients arriving together: the rest had their SYN dropped and came back a second later.
    static constexpr int kListenBacklog = 4096;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);
    ~HttpServer() override;

    /// Starts listening for plain HTTP; port 0 picks a free port (see serverPort()).
    bool listen(const QHostAddress& address, quint16 port);
    /// Also serves over TLS with the given certificate and key; port 0 picks a free port (see tlsPort()).
    bool listenTls(const QHostAddress& address, quint16 port, const QSslConfiguration& configuration);
    /// The plain port actually bound.
    quint16 serverPort() const { return m_server.serverPort(); }
    /// The TLS port actually bound; 0 when TLS is off.
    quint16 tlsPort() const;
    /// Why the last listen() or listenTls() failed.
    QString errorString() const { return m_error; }
    /// Writes one access-log line per request to stderr when on.
    void setVerbose(bool on) { m_verbose = on; }
    /// Connections open now, on both ports.
    int connectionCount() const { return m_connections; }
    /// Connections one client address may hold at a time (plain and TLS together); more are closed at once.
    void setMaxPerAddress(int limit) { m_maxPerAddress = limit; }

    /// Parses a raw request head (without the blank line); false with an error status when it is not a valid request.
    static bool parseRequestHead(const QByteArray& head, HttpRequest& out, int& errorStatus);
    /// Splits and percent-decodes a query text ("a=1&b=x%20y").
    static QHash<QString, QString> parseQuery(const QByteArray& query);
    /// What the per-address connection limit counts by: an IPv4 address (also on a dual-stack socket), or the
    /// /64 of an IPv6 address, since one subscriber commonly holds a whole /64.
    static QString clientKey(const QHostAddress& peer);
    /// A decoded request path fit for one log line: control characters (a decoded line break could forge
    /// lines) are written percent-encoded again.
    static QByteArray loggablePath(const QString& path);

private:
    struct Connection;
    struct Answer;
    // When a connection's time is up, unless it has moved on since.
    struct Expiry
    {
        qint64 at = 0; // on m_clock
        std::weak_ptr<Connection> connection;
    };

    void takePendingConnections(QTcpServer& server);
    // Answers one request on the socket and closes it.
    void serve(QTcpSocket* socket);
    static void dropFailedHandshake(QSslSocket* tls);
    // Gives the connection kIdleTimeoutMs from now for what it does next.
    void armExpiry(const std::shared_ptr<Connection>& connection);
    // Ends every connection whose time is up.
    void expire();
    // The connection has been idle too long: closed in the handshake, else answered with 408.
    void timeOut(const std::shared_ptr<Connection>& connection);
    // Gathers the request head as it comes in and answers it once complete (or too large).
    void readRequest(const std::shared_ptr<Connection>& connection);
    // Where the head in buffer ends (at its blank line); -1 while incomplete.
    static int headEnd(const QByteArray& buffer);
    // 414 or 431 when the request line or the head is already too long, else 0.
    static int oversizeStatus(const QByteArray& buffer, int headEnd);
    // The handler's answer to a complete head, or the error answer for a malformed or refused one.
    Answer answer(const QByteArray& head, const QHostAddress& peer) const;
    static QByteArray responseBytes(const HttpResponse& response, const QByteArray& method);
    // Sends the answer, logs it when verbose, and closes the connection once it is out.
    void respond(const std::shared_ptr<Connection>& connection, const Answer& answer);
    static void closeSendingSide(QTcpSocket* socket);

    // Declared before the listeners: sockets still open when the server goes update these as they die.
    int m_connections = 0;
    QHash<QString, int> m_perAddress;
    Handler m_handler;
    bool m_verbose = false;
    int m_maxPerAddress = kDefaultMaxPerAddress;
    QString m_error;
    // Every connection's time limit in one queue swept by one timer: all limits are equally long, so the
    // queue stays in order. A timer per connection cost more than the answers themselves, since Qt finds
    // each one it stops by walking every timer the thread has.
    QElapsedTimer m_clock;
    std::deque<Expiry> m_expiries;
    QTimer m_sweep;
    QTcpServer m_server;
    std::unique_ptr<QTcpServer> m_tlsServer;
};
