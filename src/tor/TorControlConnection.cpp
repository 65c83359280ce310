#include "tor/TorControlConnection.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

namespace {
constexpr int DefaultReplyTimeoutMs = 30000;
constexpr qint64 ReadChunk = 64 * 1024;
} // namespace

TorControlConnection::TorControlConnection(QObject* parent) : QObject(parent)
{
    m_replyTimer.setSingleShot(true);
    m_replyTimer.setInterval(DefaultReplyTimeoutMs);
    connect(&m_replyTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("Tor's control port did not answer within %1 seconds")
                 .arg((m_replyTimer.interval() + 999) / 1000));
    });
}

TorControlConnection::~TorControlConnection()
{
    close();
}

void TorControlConnection::open(quint16 port, const QByteArray& cookie)
{
    close();
    m_port = port;
    m_parser = TorReplyParser();
    m_failure.clear();
    m_closedByPeer = false;
    m_state = State::Connecting;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &TorControlConnection::readSome);
    connect(m_socket, &QTcpSocket::connected, this, [this, cookie] {
        m_state = State::Authenticating;
        write("AUTHENTICATE " + cookie.toHex(), [this](const TorControlReply& reply) {
            // A failure that came after this reply is reported instead.
            if (m_state != State::Authenticating)
                return;
            if (!reply.isOk()) {
                fail(QStringLiteral("Tor refused the authentication cookie (%1 %2)")
                         .arg(reply.code)
                         .arg(QString::fromLatin1(reply.firstText().left(80))));
                return;
            }
            m_state = State::Open;
            emit authenticated();
        });
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        m_closedByPeer = true;
        fail(QStringLiteral("Tor's control port closed the connection"));
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_state == State::Connecting) {
            fail(QStringLiteral("Could not connect to Tor's control port on 127.0.0.1:%1: %2")
                     .arg(m_port)
                     .arg(m_socket->errorString()));
        } else if (error == QAbstractSocket::RemoteHostClosedError) {
            m_closedByPeer = true;
            fail(QStringLiteral("Tor's control port closed the connection"));
        } else {
            fail(QStringLiteral("The connection to Tor's control port broke: %1").arg(m_socket->errorString()));
        }
    });
    m_replyTimer.start();
    m_socket->connectToHost(QHostAddress::LocalHost, port);
}

bool TorControlConnection::send(const QByteArray& command, Done done)
{
    if (m_state != State::Open || command.contains('\r') || command.contains('\n') || command.contains('\0'))
        return false;
    write(command, std::move(done));
    return true;
}

void TorControlConnection::write(const QByteArray& command, Done done)
{
    if (m_waiting.empty())
        m_replyTimer.start();
    m_waiting.push_back(std::move(done));
    m_socket->write(command + "\r\n");
}

void TorControlConnection::close()
{
    m_state = State::Closed;
    m_replyTimer.stop();
    m_waiting.clear();
    m_ready.clear();
    m_failure.clear();
    if (m_socket) {
        QTcpSocket* socket = m_socket;
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void TorControlConnection::readSome()
{
    if (!m_socket || m_state == State::Closed || m_state == State::Failed)
        return;
    while (m_socket->bytesAvailable() > 0) {
        const bool intact = m_parser.feed(m_socket->read(ReadChunk));
        for (TorControlReply& reply : m_parser.takeReplies()) {
            if (reply.isEvent()) {
                m_ready.append({std::move(reply), Done()});
                continue;
            }
            if (m_waiting.empty()) {
                fail(QStringLiteral("Tor's control port answered a command that was never sent"));
                return;
            }
            m_ready.append({std::move(reply), std::move(m_waiting.front())});
            m_waiting.pop_front();
            if (m_waiting.empty())
                m_replyTimer.stop();
            else
                m_replyTimer.start();
        }
        if (!intact) {
            fail(m_parser.error());
            return;
        }
    }
    if (!m_ready.isEmpty())
        scheduleDelivery();
}

void TorControlConnection::scheduleDelivery()
{
    if (m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &TorControlConnection::deliver, Qt::QueuedConnection);
}

void TorControlConnection::deliver()
{
    m_deliveryQueued = false;
    QPointer<TorControlConnection> self(this);
    // Each reply leaves the list before its handler runs; the handler may close or delete this connection.
    while (!m_ready.isEmpty() && m_state != State::Closed) {
        auto [reply, done] = m_ready.takeFirst();
        if (reply.isEvent())
            emit event(reply);
        else if (done)
            done(reply);
        if (!self)
            return;
    }
    if (m_state == State::Failed && !m_failure.isEmpty()) {
        const QString message = m_failure;
        m_failure.clear();
        emit failed(message);
    }
}

void TorControlConnection::fail(const QString& message)
{
    if (m_state == State::Closed || m_state == State::Failed)
        return;
    m_state = State::Failed;
    m_failure = message;
    m_replyTimer.stop();
    m_waiting.clear();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    // Replies that arrived whole before the failure are still handed out, then failed() follows them.
    scheduleDelivery();
}
