#include "net/BlockingServer.h"

#include "net/BlockingPage.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <utility>
#include <vector>

namespace {

// Connections that arrive faster than they are taken wait in the system's queue; a flood that fills it only
// delays a new client by a retransmission, since the queue drains at the pace connections are accepted.
constexpr int kListenBacklog = 1024;
// How long an answered client is given to close its side before the endpoint closes it anyway.
constexpr int kLingerMs = 2000;
// After the process ran out of descriptors, accepting starts again this much later.
constexpr int kAcceptRetryMs = 100;

} // namespace

BlockingServer::BlockingServer(const BlockingLimits& limits, std::shared_ptr<BlockingShared> shared)
    : m_limits{qMax(1, limits.maxConnections), qMax(64, limits.maxRequestBytes), qMax(1, limits.requestTimeoutMs)},
      m_shared(std::move(shared)), m_server(new QTcpServer(this)), m_sweep(new QTimer(this))
{
    m_server->setListenBacklogSize(kListenBacklog);
    connect(m_server, &QTcpServer::newConnection, this, &BlockingServer::acceptPending);
    connect(m_server, &QTcpServer::acceptError, this, &BlockingServer::acceptFailed);
    m_sweep->setInterval(qBound(50, m_limits.requestTimeoutMs / 4, 1000));
    connect(m_sweep, &QTimer::timeout, this, &BlockingServer::sweep);
}

BlockingServer::~BlockingServer()
{
    std::vector<QTcpSocket*> sockets;
    sockets.reserve(m_connections.size());
    for (const auto& entry : m_connections)
        sockets.push_back(entry.first);
    m_connections.clear();
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
    m_shared->open = 0;
}

quint16 BlockingServer::listen(quint16 port, QString* error)
{
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        *error = m_server->errorString();
        return 0;
    }
    m_sweep->start();
    return m_server->serverPort();
}

void BlockingServer::acceptPending()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (int(m_connections.size()) >= m_limits.maxConnections)
            close(oldest(), true);
        // Qt stops reading from the system once this much waits unread, so no client fills memory.
        socket->setReadBufferSize(m_limits.maxRequestBytes);
        m_connections[socket].since.start();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { written(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { close(socket, false); });
        const int open = int(m_connections.size());
        m_shared->open = open;
        int peak = m_shared->peak.load();
        while (open > peak && !m_shared->peak.compare_exchange_weak(peak, open)) {
        }
    }
}

void BlockingServer::acceptFailed()
{
    // Out of descriptors (the listener has paused itself): give one back and try again shortly, so that the
    // newest client is served rather than the oldest idle one kept.
    if (!m_connections.empty())
        close(oldest(), true);
    QTimer::singleShot(kAcceptRetryMs, this, [this] { m_server->resumeAccepting(); });
}

void BlockingServer::readFrom(QTcpSocket* socket)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end())
        return;
    Connection& connection = found->second;
    if (connection.stage != Stage::Reading) {
        // A request body or pipelined requests: read and forget, so that closing later does not reset.
        socket->readAll();
        return;
    }
    const qsizetype scanned = connection.head.size();
    connection.head += socket->read(m_limits.maxRequestBytes - connection.head.size());
    if (RequestHeadEnd(connection.head, scanned) >= 0)
        answer(socket, connection);
    else if (connection.head.size() >= m_limits.maxRequestBytes)
        close(socket, true);
}

void BlockingServer::answer(QTcpSocket* socket, Connection& connection)
{
    QByteArray response;
    switch (ClassifyRequestHead(connection.head)) {
    case BlockedRequest::Tunnel:
        response = RefusedTunnelResponse();
        ++m_shared->refused;
        break;
    case BlockedRequest::Head: {
        const QMutexLocker lock(&m_shared->lock);
        response = m_shared->headOnly;
        ++m_shared->answered;
        break;
    }
    case BlockedRequest::Page: {
        const QMutexLocker lock(&m_shared->lock);
        response = m_shared->page;
        ++m_shared->answered;
        break;
    }
    }
    connection.head = QByteArray();
    connection.stage = Stage::Answering;
    connection.since.start();
    socket->readAll();
    socket->write(response);
}

void BlockingServer::written(QTcpSocket* socket)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end() || found->second.stage != Stage::Answering || socket->bytesToWrite() > 0)
        return;
    found->second.stage = Stage::Closing;
    found->second.since.start();
    // Only our side is shut, and what the client still sends is read until it closes: closing outright with a
    // request body still arriving would reset the connection and could destroy the answer before it is read.
    ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
}

void BlockingServer::sweep()
{
    std::vector<std::pair<QTcpSocket*, bool>> expired;
    for (const auto& [socket, connection] : m_connections) {
        if (connection.stage == Stage::Closing) {
            if (connection.since.hasExpired(qMin(kLingerMs, m_limits.requestTimeoutMs)))
                expired.emplace_back(socket, false);
        } else if (connection.since.hasExpired(m_limits.requestTimeoutMs)) {
            expired.emplace_back(socket, true);
        }
    }
    for (const auto& [socket, counted] : expired)
        close(socket, counted);
}

QTcpSocket* BlockingServer::oldest() const
{
    QTcpSocket* waiting = nullptr;
    QTcpSocket* any = nullptr;
    const QElapsedTimer* waitingSince = nullptr;
    const QElapsedTimer* anySince = nullptr;
    for (const auto& [socket, connection] : m_connections) {
        if (connection.stage == Stage::Reading && (!waitingSince || connection.since < *waitingSince)) {
            waiting = socket;
            waitingSince = &connection.since;
        }
        if (!anySince || connection.since < *anySince) {
            any = socket;
            anySince = &connection.since;
        }
    }
    return waiting ? waiting : any;
}

void BlockingServer::close(QTcpSocket* socket, bool counted)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end())
        return;
    m_connections.erase(found);
    m_shared->open = int(m_connections.size());
    if (counted)
        ++m_shared->dropped;
    // Nothing of the socket may call back once it is forgotten; it is deleted when control is back in the loop.
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
