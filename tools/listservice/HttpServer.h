#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>

// One parsed request: the path and query are percent-decoded, header names lower-cased.
struct HttpRequest
{
    QByteArray method;
    QString path;
    QHash<QString, QString> query; // names lower-cased; the first occurrence of a name wins
    QHash<QByteArray, QByteArray> headers;
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
// header size and idle time, so that no client, however broken or hostile, can crash it or tie it up.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    static constexpr int kMaxHeaderBytes = 16 * 1024;
    static constexpr int kMaxRequestLineBytes = 8 * 1024;
    static constexpr int kIdleTimeoutMs = 10000;
    static constexpr int kMaxConnections = 256;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);

    /// Starts listening; port 0 picks a free port (see serverPort()).
    bool listen(const QHostAddress& address, quint16 port);
    /// The port actually bound.
    quint16 serverPort() const { return m_server.serverPort(); }
    QString errorString() const { return m_server.errorString(); }
    /// Writes one access-log line per request to stderr when on.
    void setVerbose(bool on) { m_verbose = on; }

    /// Parses a raw request head (without the blank line); false with an error status when it is not a valid request.
    static bool parseRequestHead(const QByteArray& head, HttpRequest& out, int& errorStatus);
    /// Splits and percent-decodes a query text ("a=1&b=x%20y").
    static QHash<QString, QString> parseQuery(const QByteArray& query);

private:
    void onNewConnection();

    QTcpServer m_server;
    Handler m_handler;
    bool m_verbose = false;
    int m_connections = 0;
};
