#include "support/ScriptedHttpServer.h"

#include "support/Wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <vector>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype kMaxKeptHead = 64 * 1024;
constexpr qsizetype kStreamChunk = 256 * 1024;

struct Peer
{
    int fd = -1;
    QByteArray request;
    ScriptedHttpServer::Reply reply;
    bool playing = false;
    int step = 0;
    qint64 offset = 0;      // progress inside the current step
    bool timerSet = false;  // the current step has a due time
    Clock::time_point due;  // when a pause ends or the next trickled byte goes out
    bool wantWrite = false; // the socket was full: wait until it takes more
    bool recorded = false;
};

// Whether request holds a whole request (head and, with Content-Length, body), cutting it to that; a head
// that does not end within kMaxKeptHead counts as whole there.
bool requestComplete(QByteArray& request)
{
    const qsizetype headEnd = request.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (request.size() < kMaxKeptHead)
            return false;
        request.truncate(kMaxKeptHead);
        return true;
    }
    const qint64 length =
        qMax<qint64>(0, ScriptedHttpServer::headerValue(request.left(headEnd), "Content-Length").toLongLong());
    if (request.size() < headEnd + 4 + length)
        return false;
    request.truncate(headEnd + 4 + length);
    return true;
}

} // namespace

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::send(const QByteArray& bytes)
{
    steps.append({Step::Send, bytes, bytes.size(), 0, 'a'});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::stream(qint64 count, char fill)
{
    steps.append({Step::Stream, QByteArray(), count, 0, fill});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::trickle(const QByteArray& bytes, int intervalMs, char fill)
{
    steps.append({Step::Trickle, bytes, bytes.isEmpty() ? -1 : bytes.size(), intervalMs, fill});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::chunked(const QByteArray& bytes, int chunkSize, int intervalMs)
{
    const int size = qMax(1, chunkSize);
    for (qsizetype at = 0; at < bytes.size(); at += size) {
        if (at > 0)
            pause(intervalMs);
        send(bytes.mid(at, size));
    }
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::pause(int ms)
{
    steps.append({Step::Pause, QByteArray(), 0, ms, 'a'});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::hang()
{
    steps.append({Step::Hang, QByteArray(), 0, 0, 'a'});
    return *this;
}

ScriptedHttpServer::Reply& ScriptedHttpServer::Reply::withoutRequest()
{
    waitForRequest = false;
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

ScriptedHttpServer::ScriptedHttpServer() : m_defaultReply(Reply::http(200, QByteArray()))
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(m_listenFd, 128) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        close(m_listenFd);
        m_listenFd = -1;
        return;
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { run(); });
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    if (m_thread.joinable()) {
        m_stop.store(true);
        const char byte = 1;
        (void)!write(m_wakeWrite, &byte, 1);
        m_thread.join();
    }
    if (m_listenFd >= 0)
        close(m_listenFd);
    if (m_wakeRead >= 0) {
        close(m_wakeRead);
        close(m_wakeWrite);
    }
}

void ScriptedHttpServer::setDefaultReply(const Reply& reply)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_defaultReply = reply;
}

void ScriptedHttpServer::enqueueReply(const Reply& reply)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_queued.append(reply);
}

bool ScriptedHttpServer::start(const Reply& script)
{
    setDefaultReply(script);
    return m_thread.joinable();
}

bool ScriptedHttpServer::takeReply(Reply& reply, bool requestArrived)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Reply& next = m_queued.isEmpty() ? m_defaultReply : m_queued.first();
    if (!requestArrived && next.waitForRequest)
        return false;
    reply = m_queued.isEmpty() ? m_defaultReply : m_queued.takeFirst();
    return true;
}

QString ScriptedHttpServer::hostPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString ScriptedHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://") + hostPort() + path;
}

QList<QByteArray> ScriptedHttpServer::requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

int ScriptedHttpServer::requestCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return int(m_requests.size());
}

QByteArray ScriptedHttpServer::lastRequest() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests.isEmpty() ? QByteArray() : m_requests.last();
}

bool ScriptedHttpServer::waitForRequests(int count, int timeoutMs)
{
    return waitUntil([&] { return requestCount() >= count; }, timeoutMs);
}

QByteArray ScriptedHttpServer::httpHead(int status, qint64 contentLength)
{
    return "HTTP/1.0 " + QByteArray::number(status) +
           " Scripted\r\nContent-Length: " + QByteArray::number(contentLength) + "\r\n\r\n";
}

QByteArray ScriptedHttpServer::noise(int count, quint32 seed)
{
    // A small linear congruential generator: the same bytes on every run, all 256 values likely.
    QByteArray bytes(count, Qt::Uninitialized);
    quint32 state = seed ? seed : 1;
    for (int i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

QByteArray ScriptedHttpServer::socks5Method(quint8 method)
{
    return QByteArray("\x05", 1) + char(method);
}

QByteArray ScriptedHttpServer::socks5Reply(quint8 code)
{
    // Version, code, reserved, an IPv4 address 0.0.0.0 and port 0.
    QByteArray reply("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    reply[1] = char(code);
    return reply;
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

void ScriptedHttpServer::run()
{
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    const auto watch = [&](int fd, bool out, int op) {
        epoll_event event{};
        event.events = EPOLLIN | (out ? EPOLLOUT : 0u);
        event.data.fd = fd;
        epoll_ctl(epoll, op, fd, &event);
    };
    watch(m_wakeRead, false, EPOLL_CTL_ADD);
    watch(m_listenFd, false, EPOLL_CTL_ADD);

    std::map<int, Peer> peers;
    std::map<char, QByteArray> fills;
    const auto fillChunk = [&](char fill) -> const QByteArray& {
        auto it = fills.find(fill);
        if (it == fills.end())
            it = fills.emplace(fill, QByteArray(kStreamChunk, fill)).first;
        return it->second;
    };
    const auto drop = [&](int fd) {
        close(fd); // also leaves the epoll set
        peers.erase(fd);
        m_open.fetch_sub(1);
    };
    // Writes what the socket takes; false when the client is gone.
    const auto put = [&](Peer& peer, const char* data, qint64 size, qint64& written) {
        written = 0;
        while (written < size) {
            const ssize_t n = ::send(peer.fd, data + written, size_t(size - written), MSG_NOSIGNAL);
            if (n > 0) {
                written += n;
                m_bytesSent.fetch_add(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                peer.wantWrite = true;
                return true;
            }
            return false;
        }
        return true;
    };
    const auto nextStep = [](Peer& peer) {
        ++peer.step;
        peer.offset = 0;
        peer.timerSet = false;
    };
    // Plays the script as far as it can go now; false when the connection is to be closed.
    const auto play = [&](Peer& peer) {
        peer.wantWrite = false;
        const auto now = Clock::now();
        while (peer.step < peer.reply.steps.size()) {
            const Reply::Step& step = peer.reply.steps.at(peer.step);
            qint64 written = 0;
            switch (step.kind) {
            case Reply::Step::Send:
                if (!put(peer, step.bytes.constData() + peer.offset, step.bytes.size() - peer.offset, written))
                    return false;
                peer.offset += written;
                if (peer.offset < step.bytes.size())
                    return true;
                nextStep(peer);
                break;
            case Reply::Step::Stream: {
                const QByteArray& chunk = fillChunk(step.fill);
                // A bounded share per turn keeps the other connections and the stop flag served.
                for (int turn = 0; turn < 16; ++turn) {
                    const qint64 left =
                        step.count < 0 ? chunk.size() : qMin<qint64>(chunk.size(), step.count - peer.offset);
                    if (left <= 0)
                        break;
                    if (!put(peer, chunk.constData(), left, written))
                        return false;
                    peer.offset += written;
                    if (peer.wantWrite)
                        return true;
                }
                if (step.count >= 0 && peer.offset >= step.count) {
                    nextStep(peer);
                    break;
                }
                return true;
            }
            case Reply::Step::Trickle:
                if (peer.timerSet && now < peer.due)
                    return true;
                {
                    const char byte = step.count < 0 ? step.fill : step.bytes.at(peer.offset);
                    if (!put(peer, &byte, 1, written))
                        return false;
                    if (written == 0)
                        return true;
                }
                ++peer.offset;
                peer.timerSet = true;
                peer.due = now + std::chrono::milliseconds(step.ms);
                if (step.count >= 0 && peer.offset >= step.count) {
                    nextStep(peer);
                    // The pace holds across the end of the step as well.
                    peer.timerSet = true;
                    peer.due = now + std::chrono::milliseconds(step.ms);
                    return true;
                }
                return true;
            case Reply::Step::Pause:
                if (!peer.timerSet) {
                    peer.timerSet = true;
                    peer.due = now + std::chrono::milliseconds(step.ms);
                }
                if (now < peer.due)
                    return true;
                nextStep(peer);
                break;
            case Reply::Step::Hang:
                return true;
            }
        }
        return false; // the script is over: close
    };

    std::vector<epoll_event> events(64);
    while (!m_stop.load()) {
        // Sleep until the earliest due step, but look at the stop flag now and then.
        auto wake = Clock::now() + std::chrono::milliseconds(200);
        for (const auto& [fd, peer] : peers)
            if (peer.playing && peer.timerSet && !peer.wantWrite && peer.due < wake)
                wake = peer.due;
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        const int ready = epoll_wait(epoll, events.data(), int(events.size()), int(qMax<qint64>(0, waitMs + 1)));
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            if (fd == m_wakeRead)
                continue;
            if (fd == m_listenFd) {
                for (;;) {
                    const int client = accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    m_connections.fetch_add(1);
                    m_open.fetch_add(1);
                    Peer peer;
                    peer.fd = client;
                    peer.playing = takeReply(peer.reply, false);
                    peers.emplace(client, peer);
                    watch(client, false, EPOLL_CTL_ADD);
                }
                continue;
            }
            const auto it = peers.find(fd);
            if (it == peers.end())
                continue;
            Peer& peer = it->second;
            if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                char buffer[16384];
                const ssize_t got = read(fd, buffer, sizeof(buffer));
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    drop(fd);
                    continue;
                }
                if (got > 0 && !peer.recorded) {
                    peer.request.append(buffer, got);
                    if (requestComplete(peer.request)) {
                        peer.recorded = true;
                        {
                            std::lock_guard<std::mutex> guard(m_lock);
                            m_requests.append(peer.request);
                        }
                        if (!peer.playing)
                            peer.playing = takeReply(peer.reply, true);
                    }
                }
            }
        }
        // Every playing connection moves on as far as it can.
        std::vector<int> finished;
        for (auto& [fd, peer] : peers) {
            if (!peer.playing)
                continue;
            const bool wasWaiting = peer.wantWrite;
            if (!play(peer)) {
                finished.push_back(fd);
                continue;
            }
            if (peer.wantWrite != wasWaiting)
                watch(fd, peer.wantWrite, EPOLL_CTL_MOD);
        }
        for (int fd : finished)
            drop(fd);
    }
    while (!peers.empty())
        drop(peers.begin()->first);
    close(epoll);
}

} // namespace testsupport
