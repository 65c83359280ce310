#include "HttpServer.h"

#include "TlsTcpServer.h"

#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>

#include <sys/socket.h>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

QString decodeComponent(const QByteArray& raw)
{
    QByteArray b = raw;
    b.replace('+', ' ');
    return QUrl::fromPercentEncoding(b);
}

} // namespace

HttpResponse HttpResponse::text(int status, const QByteArray& body)
{
    return HttpResponse{status, "text/plain; charset=utf-8", body};
}

HttpResponse HttpResponse::html(int status, const QByteArray& body)
{
    return HttpResponse{status, "text/html; charset=utf-8", body};
}

HttpServer::HttpServer(Handler handler, QObject* parent) : QObject(parent), m_handler(std::move(handler))
{
    m_clock.start();
    m_sweep.setInterval(kSweepIntervalMs);
    connect(&m_sweep, &QTimer::timeout, this, &HttpServer::expire);
    connect(&m_server, &QTcpServer::newConnection, this, [this] { takePendingConnections(m_server); });
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const QHostAddress& address, quint16 port)
{
    m_server.setListenBacklogSize(kListenBacklog);
    if (m_server.listen(address, port))
        return true;
    m_error = m_server.errorString();
    return false;
}

bool HttpServer::listenTls(const QHostAddress& address, quint16 port, const QSslConfiguration& configuration)
{
    auto server = std::make_unique<TlsTcpServer>(configuration);
    server->setListenBacklogSize(kListenBacklog);
    if (!server->listen(address, port)) {
        m_error = server->errorString();
        return false;
    }
    QTcpServer* raw = server.get();
    connect(raw, &QTcpServer::newConnection, this, [this, raw] { takePendingConnections(*raw); });
    m_tlsServer = std::move(server);
    return true;
}

quint16 HttpServer::tlsPort() const
{
    return m_tlsServer ? m_tlsServer->serverPort() : 0;
}

QString HttpServer::clientKey(const QHostAddress& peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    Q_IPV6ADDR bytes = peer.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), quint8(0));
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

QByteArray HttpServer::loggablePath(const QString& path)
{
    QByteArray out;
    for (const char c : path.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            out += '%' + QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
        else
            out += c;
    }
    return out;
}

QHash<QString, QString> HttpServer::parseQuery(const QByteArray& query)
{
    QHash<QString, QString> out;
    for (const QByteArray& part : query.split('&')) {
        if (part.isEmpty())
            continue;
        const int eq = part.indexOf('=');
        const QString name = decodeComponent(eq < 0 ? part : part.left(eq)).toLower();
        const QString value = eq < 0 ? QString() : decodeComponent(part.mid(eq + 1));
        if (!out.contains(name))
            out.insert(name, value);
    }
    return out;
}

bool HttpServer::parseRequestHead(const QByteArray& head, HttpRequest& out, int& errorStatus)
{
    errorStatus = 400;
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    if (lines.isEmpty())
        return false;
    const QByteArray requestLine = lines.first();
    if (requestLine.size() > kMaxRequestLineBytes) {
        errorStatus = 414;
        return false;
    }
    // Some clients send the target unescaped ("/images/flag/United States.png"), so the target is
    // everything between the method and the version rather than the second blank-separated word.
    const int firstSpace = requestLine.indexOf(' ');
    const int lastSpace = requestLine.lastIndexOf(' ');
    if (firstSpace <= 0 || lastSpace <= firstSpace)
        return false;
    out.method = requestLine.left(firstSpace);
    const QByteArray version = requestLine.mid(lastSpace + 1);
    QByteArray target = requestLine.mid(firstSpace + 1, lastSpace - firstSpace - 1).trimmed();
    if (!version.startsWith("HTTP/"))
        return false;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        errorStatus = 505;
        return false;
    }
    for (char c : out.method)
        if (c < 'A' || c > 'Z')
            return false;
    // Absolute form, as sent to proxies: keep only the path and query.
    if (target.startsWith("http://") || target.startsWith("https://")) {
        const int slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    if (!target.startsWith('/'))
        return false;
    for (char c : target)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    const int hash = target.indexOf('#');
    if (hash >= 0)
        target.truncate(hash);
    const int qm = target.indexOf('?');
    out.path = QUrl::fromPercentEncoding(qm < 0 ? target : target.left(qm));
    out.query = parseQuery(qm < 0 ? QByteArray() : target.mid(qm + 1));
    if (out.path.contains(QChar(0)))
        return false;

    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray& l = lines[i];
        if (l.isEmpty())
            continue;
        const int colon = l.indexOf(':');
        if (colon <= 0)
            return false;
        const QByteArray name = l.left(colon).trimmed();
        const QByteArray value = l.mid(colon + 1).trimmed();
        out.rawHeaders.append({name, value});
        if (!out.headers.contains(name.toLower()))
            out.headers.insert(name.toLower(), value);
    }
    return true;
}

void HttpServer::takePendingConnections(QTcpServer& server)
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        const QString key = clientKey(socket->peerAddress());
        if (m_connections >= kMaxConnections || m_perAddress.value(key) >= m_maxPerAddress) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_connections;
        ++m_perAddress[key];
        connect(socket, &QObject::destroyed, this, [this, key] {
            --m_connections;
            if (--m_perAddress[key] <= 0)
                m_perAddress.remove(key);
        });
        serve(socket);
    }
}

// What one connection holds until it closes. The socket's handlers share it, so it goes with the socket.
struct HttpServer::Connection
{
    QPointer<QTcpSocket> socket;
    QSslSocket* tls = nullptr; // the same socket on the TLS port, else null
    qint64 deadline = 0;       // on the server's clock
    QByteArray buffer;
    bool answered = false; // once answered, whatever the client still sends is discarded
};

// An answer with what the access log says about it.
struct HttpServer::Answer
{
    HttpResponse response;
    QByteArray method;
    QString what;
};

void HttpServer::serve(QTcpSocket* socket)
{
    const auto connection = std::make_shared<Connection>();
    connection->socket = socket;
    connection->tls = qobject_cast<QSslSocket*>(socket);
    armExpiry(connection);
    if (connection->tls)
        dropFailedHandshake(connection->tls);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // The socket's handler is the connection's one owner: the queue of limits only refers to it.
    connect(socket, &QTcpSocket::readyRead, socket, [this, connection] { readRequest(connection); });
}

void HttpServer::armExpiry(const std::shared_ptr<Connection>& connection)
{
    connection->deadline = m_clock.elapsed() + kIdleTimeoutMs;
    m_expiries.push_back({connection->deadline, connection});
    if (!m_sweep.isActive())
        m_sweep.start();
}

void HttpServer::expire()
{
    const qint64 now = m_clock.elapsed();
    // Taken off the queue before it is acted on: ending a connection may queue another limit.
    while (!m_expiries.empty() && m_expiries.front().at <= now) {
        const Expiry due = std::move(m_expiries.front());
        m_expiries.pop_front();
        const auto connection = due.connection.lock();
        if (connection && connection->socket && connection->deadline == due.at)
            timeOut(connection);
    }
    if (m_expiries.empty())
        m_sweep.stop();
}

void HttpServer::dropFailedHandshake(QSslSocket* tls)
{
    // Garbage instead of a handshake, or a failed one: nothing can be answered, so just close.
    connect(tls, &QAbstractSocket::errorOccurred, tls, [tls] {
        if (!tls->isEncrypted()) {
            tls->abort();
            tls->deleteLater();
        }
    });
}

void HttpServer::timeOut(const std::shared_ptr<Connection>& connection)
{
    QTcpSocket* socket = connection->socket;
    // Stalled in the handshake, or answered and still not gone: a peer that never reads or never closes
    // must not keep the connection.
    if (connection->answered || (connection->tls && !connection->tls->isEncrypted())) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    connection->answered = true;
    respond(connection, {HttpResponse::text(408, "Request timeout\n"), "GET", QStringLiteral("(timeout)")});
}

void HttpServer::readRequest(const std::shared_ptr<Connection>& connection)
{
    QByteArray& buffer = connection->buffer;
    buffer.append(connection->socket->readAll());
    if (connection->answered)
        return buffer.clear(); // the rest of a request already answered is discarded
    const int end = headEnd(buffer);
    if (const int status = oversizeStatus(buffer, end); status != 0) {
        connection->answered = true;
        buffer.clear();
        respond(connection, {HttpResponse::text(status, "Request too large\n"), "GET", QStringLiteral("(too large)")});
        return;
    }
    if (end < 0)
        return; // the head is not complete yet
    const QByteArray head = buffer.left(end);
    buffer.clear();
    connection->answered = true;
    respond(connection, answer(head, connection->socket->peerAddress()));
}

int HttpServer::headEnd(const QByteArray& buffer)
{
    const int end = buffer.indexOf("\r\n\r\n");
    return end < 0 ? buffer.indexOf("\n\n") : end;
}

int HttpServer::oversizeStatus(const QByteArray& buffer, int headEnd)
{
    const int lineEnd = buffer.indexOf('\n');
    if ((lineEnd < 0 ? buffer.size() : lineEnd) > kMaxRequestLineBytes)
        return 414;
    if ((headEnd < 0 ? buffer.size() : headEnd) > kMaxHeaderBytes)
        return 431;
    return 0;
}

HttpServer::Answer HttpServer::answer(const QByteArray& head, const QHostAddress& peer) const
{
    HttpRequest req;
    req.peer = peer;
    int errorStatus = 400;
    if (!parseRequestHead(head, req, errorStatus))
        return {HttpResponse::text(errorStatus, "Malformed request\n"), "GET", QStringLiteral("(malformed)")};
    // Only the access log reads it; made for every answer, it cost a third as much as parsing the request.
    const QString what = m_verbose ? QString::fromLatin1(req.method) + ' ' + req.path : QString();
    if (req.method != "GET" && req.method != "HEAD")
        return {HttpResponse::text(405, "Only GET and HEAD are served\n"), req.method, what};
    HttpResponse r;
    try {
        r = m_handler(req);
    } catch (const std::exception& e) {
        r = HttpResponse::text(500, QByteArray("Internal error: ") + e.what() + '\n');
    }
    return {r, req.method, what};
}

QByteArray HttpServer::responseBytes(const HttpResponse& r, const QByteArray& method)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasonPhrase(r.status) + "\r\n";
    out += "Content-Type: " + r.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (method != "HEAD")
        out += r.body;
    return out;
}

void HttpServer::respond(const std::shared_ptr<Connection>& connection, const Answer& answer)
{
    QTcpSocket* socket = connection->socket;
    armExpiry(connection); // the time to take the answer and close
    if (m_verbose)
        std::fprintf(stderr, "%s %s %d\n", qPrintable(socket->peerAddress().toString()),
                     loggablePath(answer.what).constData(), answer.response.status);
    socket->write(responseBytes(answer.response, answer.method));
    if (connection->tls)
        connection->tls->disconnectFromHost(); // TLS closes with its own close alert once everything is written
    else
        closeSendingSide(socket);
}

void HttpServer::closeSendingSide(QTcpSocket* socket)
{
    // Close only our sending side once the answer is out and keep draining what the peer still
    // sends: closing a socket with unread input resets the connection and the peer might lose the
    // answer (a 414 to a client still writing its huge request, for instance).
    auto halfClose = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, halfClose);
    socket->flush();
    halfClose();
}
