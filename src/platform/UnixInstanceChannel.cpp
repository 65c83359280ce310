#include "platform/UnixInstanceChannel.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcInstance, "veilport.instance", QtWarningMsg)

namespace platform {

namespace {

// Request: magic, message number, wParam, payload length (big-endian 32-bit each), payload.
// Reply: magic, status byte, result (big-endian 32-bit).
constexpr char kRequestMagic[4] = {'V', 'P', 'I', 'M'};
constexpr char kReplyMagic[4] = {'V', 'P', 'I', 'R'};
constexpr int kHeaderSize = 16;
constexpr char kStatusAnswered = 0;
constexpr char kStatusNobody = 1;

class FdGuard
{
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// The abstract address of a name: a leading zero byte, then the name's bytes. A name too long for
// sun_path is replaced by a digest so that every name maps to one fixed address.
socklen_t abstractAddress(const QString& name, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    QByteArray bytes = name.toUtf8();
    const int room = int(sizeof(address.sun_path)) - 1;
    if (bytes.size() > room)
        bytes = "veilport-" + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    std::memcpy(address.sun_path + 1, bytes.constData(), size_t(bytes.size()));
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(bytes.size()));
}

bool peerIsOwnUser(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return credentials.uid == ::geteuid();
}

// Waits for the socket to become ready for events; false when the deadline passes first.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const qint64 left = deadline.remainingTime();
        const int rc = ::poll(&entry, 1, left < 0 ? -1 : int(qMin<qint64>(left, 1 << 30)));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

bool writeAll(int fd, const QByteArray& bytes, const QDeadlineTimer& deadline)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, deadline))
            continue;
        return false;
    }
    return true;
}

bool readExactly(int fd, char* buffer, int size, const QDeadlineTimer& deadline)
{
    int done = 0;
    while (done < size) {
        const ssize_t n = ::recv(fd, buffer + done, size_t(size - done), 0);
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLIN, deadline))
            continue;
        return false;
    }
    return true;
}

void appendUint32(QByteArray& bytes, quint32 value)
{
    char raw[4];
    qToBigEndian(value, raw);
    bytes.append(raw, 4);
}

} // namespace

// One peer whose request is being received.
class UnixInstanceChannel::Connection : public QObject
{
public:
    Connection(int fd, QObject* parent) : QObject(parent), fd(fd), notifier(fd, QSocketNotifier::Read)
    {
        deadline.setSingleShot(true);
    }
    ~Connection() override
    {
        notifier.setEnabled(false);
        if (fd >= 0)
            ::close(fd);
    }

    int fd;
    QByteArray buffer;
    QSocketNotifier notifier;
    QTimer deadline;
    bool finished = false;
};

UnixInstanceChannel::UnixInstanceChannel(QObject* parent) : QObject(parent) {}

UnixInstanceChannel::~UnixInstanceChannel()
{
    m_listenNotifier.reset();
    // Connections are children and close their sockets with this object.
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool UnixInstanceChannel::claim(const QString& name)
{
    if (m_listenFd >= 0)
        return false;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, address);
    // Close-on-exec: a program this copy starts (a browser, the restarted copy) must not inherit
    // the lock, or the name would stay held after this copy ended.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, MaxConnections) != 0) {
        ::close(fd);
        return false;
    }
    m_listenFd = fd;
    return true;
}

void UnixInstanceChannel::serve(Handler handler)
{
    m_handler = std::move(handler);
    startListening();
}

void UnixInstanceChannel::startListening()
{
    if (m_listenFd < 0 || m_listenNotifier)
        return;
    m_listenNotifier = std::make_unique<QSocketNotifier>(m_listenFd, QSocketNotifier::Read);
    connect(m_listenNotifier.get(), &QSocketNotifier::activated, this, [this] { acceptPending(); });
}

void UnixInstanceChannel::acceptPending()
{
    for (;;) {
        // With every slot busy the rest wait in the listen backlog until one frees up, so a flood
        // of silent peers delays a real request by one deadline at most instead of refusing it.
        if (m_connections >= MaxConnections) {
            m_listenNotifier->setEnabled(false);
            return;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN: all taken; anything else (EMFILE): try again at the next wake-up
        }
        if (!peerIsOwnUser(fd)) {
            qCInfo(lcInstance) << "refused a connection from another user";
            ::close(fd);
            continue;
        }
        ++m_connections;
        auto* connection = new Connection(fd, this);
        connect(&connection->notifier, &QSocketNotifier::activated, this,
                [this, connection] { readRequest(connection); });
        connect(&connection->deadline, &QTimer::timeout, this, [this, connection] {
            qCInfo(lcInstance) << "request not completed in time, dropped";
            dropConnection(connection);
        });
        connection->deadline.start(RequestDeadlineMs);
    }
}

UnixInstanceChannel::Frame UnixInstanceChannel::decodeRequest(const QByteArray& buffer, Request& request,
                                                              qsizetype& wanted)
{
    if (buffer.size() < kHeaderSize) {
        wanted = kHeaderSize - buffer.size();
        return Frame::Incomplete;
    }
    if (std::memcmp(buffer.constData(), kRequestMagic, 4) != 0)
        return Frame::Malformed;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData() + 12);
    if (length > MaxPayload)
        return Frame::Oversized;
    const qsizetype total = kHeaderSize + qsizetype(length);
    if (buffer.size() < total) {
        wanted = total - buffer.size();
        return Frame::Incomplete;
    }
    // The reader never takes more than a request announces; more is not a request of this program.
    if (buffer.size() > total)
        return Frame::Malformed;
    request.message = qFromBigEndian<quint32>(buffer.constData() + 4);
    request.wParam = qFromBigEndian<qint32>(buffer.constData() + 8);
    request.payload = buffer.mid(kHeaderSize);
    return Frame::Complete;
}

QByteArray UnixInstanceChannel::encodeRequest(quint32 message, qint32 wParam, const QByteArray& payload)
{
    QByteArray request(kRequestMagic, 4);
    appendUint32(request, message);
    appendUint32(request, quint32(wParam));
    appendUint32(request, quint32(payload.size()));
    request.append(payload);
    return request;
}

QByteArray UnixInstanceChannel::encodeReply(std::optional<qint32> result)
{
    QByteArray reply(kReplyMagic, 4);
    reply.append(result ? kStatusAnswered : kStatusNobody);
    appendUint32(reply, quint32(result.value_or(0)));
    return reply;
}

std::optional<qint32> UnixInstanceChannel::decodeReply(const QByteArray& reply)
{
    if (reply.size() != ReplySize || std::memcmp(reply.constData(), kReplyMagic, 4) != 0 || reply[4] != kStatusAnswered)
        return std::nullopt;
    return qFromBigEndian<qint32>(reply.constData() + 5);
}

void UnixInstanceChannel::readRequest(Connection* connection)
{
    if (connection->finished)
        return;
    for (;;) {
        Request request;
        qsizetype wanted = 0;
        switch (decodeRequest(connection->buffer, request, wanted)) {
        case Frame::Malformed:
            qCInfo(lcInstance) << "malformed request dropped";
            dropConnection(connection);
            return;
        case Frame::Oversized:
            qCInfo(lcInstance) << "oversized request dropped";
            dropConnection(connection);
            return;
        case Frame::Complete:
            dispatch(connection, request);
            return;
        case Frame::Incomplete:
            break;
        }
        char chunk[4096];
        const ssize_t n = ::recv(connection->fd, chunk, size_t(qMin<qsizetype>(wanted, sizeof(chunk))), 0);
        if (n > 0) {
            connection->buffer.append(chunk, qsizetype(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;                 // the rest comes with a later wake-up
        dropConnection(connection); // the peer went away before finishing
        return;
    }
}

void UnixInstanceChannel::dispatch(Connection* connection, const Request& request)
{
    connection->finished = true;
    connection->notifier.setEnabled(false);
    connection->deadline.stop();

    if (m_sessionHandler && request.message == m_sessionMessage) {
        const QByteArray reply = encodeReply(0);
        ::send(connection->fd, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        // The socket leaves this channel's bookkeeping: the session's owner closes it.
        const int fd = connection->fd;
        connection->fd = -1;
        --m_connections;
        connection->deleteLater();
        if (m_listenNotifier && !m_listenNotifier->isEnabled())
            m_listenNotifier->setEnabled(true);
        const SessionHandler handler = m_sessionHandler;
        handler(fd, request.payload);
        return;
    }

    // The handler may run a nested event loop (closing the window); a copy keeps it alive.
    const Handler handler = m_handler;
    const std::optional<qint32> result =
        handler ? handler(request.message, request.wParam, request.payload) : std::nullopt;

    const QByteArray reply = encodeReply(result);
    // Nine bytes always fit into a fresh socket's buffer; a peer that stopped reading loses them.
    if (connection->fd >= 0)
        ::send(connection->fd, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    dropConnection(connection);
}

void UnixInstanceChannel::dropConnection(Connection* connection)
{
    if (connection->fd < 0)
        return;
    connection->finished = true;
    connection->notifier.setEnabled(false);
    connection->deadline.stop();
    ::close(connection->fd);
    connection->fd = -1;
    --m_connections;
    connection->deleteLater();
    if (m_listenNotifier && !m_listenNotifier->isEnabled())
        m_listenNotifier->setEnabled(true);
}

void UnixInstanceChannel::serveSessions(quint32 message, SessionHandler handler)
{
    m_sessionMessage = message;
    m_sessionHandler = std::move(handler);
    startListening();
}

std::optional<qint32> UnixInstanceChannel::send(const QString& name, quint32 message, qint32 wParam,
                                                const QByteArray& payload, int timeoutMs)
{
    return request(name, message, wParam, payload, timeoutMs, nullptr);
}

int UnixInstanceChannel::openSession(const QString& name, quint32 message, const QByteArray& payload, int timeoutMs)
{
    int fd = -1;
    const std::optional<qint32> answer = request(name, message, 0, payload, timeoutMs, &fd);
    if (answer && *answer == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

std::optional<qint32> UnixInstanceChannel::request(const QString& name, quint32 message, qint32 wParam,
                                                   const QByteArray& payload, int timeoutMs, int* keepOpen)
{
    if (quint32(payload.size()) > MaxPayload)
        return std::nullopt;
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutMs));
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, address);
    FdGuard socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int fd = socketFd.get();
    if (fd < 0)
        return std::nullopt;
    for (;;) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0)
            break;
        if (errno == EINTR)
            continue;
        // A full backlog: the holder is busy (still starting); try again until the deadline.
        if (errno == EAGAIN && !deadline.hasExpired()) {
            ::poll(nullptr, 0, 20);
            continue;
        }
        return std::nullopt; // ECONNREFUSED and the like: nobody holds the name
    }
    // A holder of another user gets nothing from us, not even our first argument.
    if (!peerIsOwnUser(fd))
        return std::nullopt;

    if (!writeAll(fd, encodeRequest(message, wParam, payload), deadline))
        return std::nullopt;

    char reply[ReplySize];
    if (!readExactly(fd, reply, ReplySize, deadline))
        return std::nullopt;
    const std::optional<qint32> result = decodeReply(QByteArray(reply, ReplySize));
    if (result && keepOpen)
        *keepOpen = socketFd.release();
    return result;
}

bool IsFirstInstance(const QString& name)
{
    // Held names live as long as the process, like a mutex handle that is never closed.
    static std::vector<std::unique_ptr<UnixInstanceChannel>> held;
    auto channel = std::make_unique<UnixInstanceChannel>();
    if (!channel->claim(name))
        return false;
    held.push_back(std::move(channel));
    return true;
}

} // namespace platform
