#include "support/HostileHttpServer.h"

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

constexpr qsizetype kMaxKeptRequest = 64 * 1024;
constexpr qsizetype kStreamChunk = 256 * 1024;

struct Peer
{
    int fd = -1;
    QByteArray request;
    bool playing = false;
    int step = 0;
    qint64 offset = 0;      // progress inside the current step
    bool timerSet = false;  // the current step has a due time
    Clock::time_point due;  // when a pause ends or the next trickled byte goes out
    bool wantWrite = false; // the socket was full: wait until it takes more
    bool recorded = false;
};

} // namespace

HostileHttpServer::Script& HostileHttpServer::Script::send(const QByteArray& bytes)
{
    steps.append({Step::Send, bytes, bytes.size(), 0, 'a'});
    return *this;
}

HostileHttpServer::Script& HostileHttpServer::Script::stream(qint64 count, char fill)
{
    steps.append({Step::Stream, QByteArray(), count, 0, fill});
    return *this;
}

HostileHttpServer::Script& HostileHttpServer::Script::trickle(const QByteArray& bytes, int intervalMs, char fill)
{
    steps.append({Step::Trickle, bytes, bytes.isEmpty() ? -1 : bytes.size(), intervalMs, fill});
    return *this;
}

HostileHttpServer::Script& HostileHttpServer::Script::pause(int ms)
{
    steps.append({Step::Pause, QByteArray(), 0, ms, 'a'});
    return *this;
}

HostileHttpServer::Script& HostileHttpServer::Script::hang()
{
    steps.append({Step::Hang, QByteArray(), 0, 0, 'a'});
    return *this;
}

HostileHttpServer::Script& HostileHttpServer::Script::withoutRequest()
{
    waitForRequest = false;
    return *this;
}

HostileHttpServer::HostileHttpServer()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
    }
}

HostileHttpServer::~HostileHttpServer()
{
    stop();
    if (m_listenFd >= 0)
        close(m_listenFd);
    close(m_wakeRead);
    close(m_wakeWrite);
}

bool HostileHttpServer::start(const Script& script)
{
    if (m_thread.joinable() || m_wakeRead < 0)
        return false;
    m_script = script;
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(m_listenFd, 128) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { run(); });
    return true;
}

void HostileHttpServer::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop.store(true);
    const char byte = 1;
    (void)!write(m_wakeWrite, &byte, 1);
    m_thread.join();
}

QString HostileHttpServer::hostPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString HostileHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://") + hostPort() + path;
}

QList<QByteArray> HostileHttpServer::requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

QByteArray HostileHttpServer::head(int status, qint64 contentLength)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " Hostile\r\nContent-Length: " + QByteArray::number(contentLength) + "\r\nConnection: close\r\n\r\n";
}

QByteArray HostileHttpServer::noise(int count, quint32 seed)
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

void HostileHttpServer::run()
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
        while (peer.step < m_script.steps.size()) {
            const Script::Step& step = m_script.steps.at(peer.step);
            qint64 written = 0;
            switch (step.kind) {
            case Script::Step::Send:
                if (!put(peer, step.bytes.constData() + peer.offset, step.bytes.size() - peer.offset, written))
                    return false;
                peer.offset += written;
                if (peer.offset < step.bytes.size())
                    return true;
                nextStep(peer);
                break;
            case Script::Step::Stream: {
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
            case Script::Step::Trickle:
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
            case Script::Step::Pause:
                if (!peer.timerSet) {
                    peer.timerSet = true;
                    peer.due = now + std::chrono::milliseconds(step.ms);
                }
                if (now < peer.due)
                    return true;
                nextStep(peer);
                break;
            case Script::Step::Hang:
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
                    peer.playing = !m_script.waitForRequest;
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
                    peer.request.append(buffer, qMin<qsizetype>(got, kMaxKeptRequest - peer.request.size()));
                    if (peer.request.contains("\r\n\r\n") || peer.request.size() >= kMaxKeptRequest) {
                        peer.recorded = true;
                        peer.playing = true;
                        std::lock_guard<std::mutex> guard(m_lock);
                        m_requests.append(peer.request);
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
