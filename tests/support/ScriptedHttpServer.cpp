#include "support/ScriptedHttpServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

struct ScriptedHttpServer::Connection
{
    QTcpSocket* socket = nullptr;
    QByteArray buffer;
    bool answered = false;
    Reply reply;
    int nextStep = 0;
    QTimer* timer = nullptr;
};

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::send(const QByteArray& bytes)
{
    steps.append({Step::Send, bytes, 0});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::pause(int ms)
{
    steps.append({Step::Pause, QByteArray(), ms});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::trickle(const QByteArray& bytes, int chunkSize, int intervalMs)
{
    const int size = qMax(1, chunkSize);
    for (qsizetype at = 0; at < bytes.size(); at += size) {
        if (at > 0)
            pause(intervalMs);
        send(bytes.mid(at, size));
    }
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::hang()
{
    steps.append({Step::Hang, QByteArray(), 0});
    return *this;
}

ScriptedHttpServer::Reply ScriptedHttpServer::Reply::http(int status, const QByteArray& body,
                                                          const QList<QPair<QByteArray, QByteArray>>& headers,
                                                          bool withLength)
{
    QByteArray head = "HTTP/1.0 " + QByteArray::number(status) + " Scripted\r\n";
    if (withLength)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto& header : headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";
    Reply reply;
    reply.send(head + body);
    return reply;
}

QByteArray ScriptedHttpServer::httpHead(int status, qint64 contentLength)
{
    return "HTTP/1.0 " + QByteArray::number(status) +
           " Scripted\r\nContent-Length: " + QByteArray::number(contentLength) + "\r\n\r\n";
}

ScriptedHttpServer::ScriptedHttpServer(QObject* parent) : QObject(parent), m_server(std::make_unique<QTcpServer>())
{
    m_defaultReply = Reply::http(200, QByteArray());
    connect(m_server.get(), &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
    m_server->listen(QHostAddress::LocalHost, 0);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    const QList<Connection*> connections = m_connections;
    for (Connection* connection : connections)
        dropConnection(connection);
    m_server->close();
}

quint16 ScriptedHttpServer::port() const
{
    return m_server->serverPort();
}

QString ScriptedHttpServer::hostPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QString ScriptedHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://") + hostPort() + path;
}

void ScriptedHttpServer::setDefaultReply(const Reply& reply)
{
    m_defaultReply = reply;
}

void ScriptedHttpServer::enqueueReply(const Reply& reply)
{
    m_queued.append(reply);
}

bool ScriptedHttpServer::waitForRequests(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (requestCount() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return requestCount() >= count;
}

int ScriptedHttpServer::openConnections() const
{
    return int(m_connections.size());
}

QList<QByteArray> ScriptedHttpServer::headerLines(const QByteArray& request)
{
    const int end = request.indexOf("\r\n\r\n");
    const QByteArray head = end >= 0 ? request.left(end) : request;
    QList<QByteArray> lines = head.split('\n');
    if (!lines.isEmpty())
        lines.removeFirst();
    for (QByteArray& line : lines)
        line = line.trimmed();
    return lines;
}

QByteArray ScriptedHttpServer::headerValue(const QByteArray& request, const QByteArray& name)
{
    const QByteArray wanted = name.toLower() + ':';
    for (const QByteArray& line : headerLines(request))
        if (line.toLower().startsWith(wanted))
            return line.mid(wanted.size()).trimmed();
    return QByteArray();
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto* connection = new Connection;
        connection->socket = socket;
        m_connections.append(connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, connection] { onReadyRead(connection); });
        connect(socket, &QTcpSocket::disconnected, this, [this, connection] { dropConnection(connection); });
    }
}

void ScriptedHttpServer::onReadyRead(Connection* connection)
{
    connection->buffer += connection->socket->readAll();
    if (connection->answered)
        return;
    const int headEnd = connection->buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const qint64 bodyLength = headerValue(connection->buffer, "Content-Length").toLongLong();
    if (connection->buffer.size() < headEnd + 4 + bodyLength)
        return;
    connection->answered = true;
    const QByteArray raw = connection->buffer.left(headEnd + 4 + bodyLength);
    m_requests.append(raw);
    connection->reply = m_queued.isEmpty() ? m_defaultReply : m_queued.takeFirst();
    emit requestReceived(raw);
    playNext(connection);
}

void ScriptedHttpServer::playNext(Connection* connection)
{
    while (connection->nextStep < connection->reply.steps.size()) {
        const Reply::Step& step = connection->reply.steps.at(connection->nextStep++);
        switch (step.kind) {
        case Reply::Step::Send:
            connection->socket->write(step.bytes);
            connection->socket->flush();
            break;
        case Reply::Step::Pause:
            if (!connection->timer) {
                connection->timer = new QTimer(connection->socket);
                connection->timer->setSingleShot(true);
                connect(connection->timer, &QTimer::timeout, this, [this, connection] { playNext(connection); });
            }
            connection->timer->start(step.ms);
            return;
        case Reply::Step::Hang:
            return;
        }
    }
    connection->socket->disconnectFromHost();
}

void ScriptedHttpServer::dropConnection(Connection* connection)
{
    if (!m_connections.removeOne(connection))
        return;
    connection->socket->disconnect(this);
    if (connection->timer)
        connection->timer->stop();
    connection->socket->abort();
    connection->socket->deleteLater();
    delete connection;
}

} // namespace testsupport
