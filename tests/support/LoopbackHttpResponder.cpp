#include "support/LoopbackHttpResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSet>

#include <cerrno>
#include <unordered_map>
#include <vector>

namespace testsupport {

namespace {

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

QByteArray reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

LoopbackHttpResponder::LoopbackHttpResponder()
{
    int fds[2];
    if (pipe(fds) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
        setNonBlocking(m_wakeRead);
    }
    setReply(200, "127.0.0.1");
}

LoopbackHttpResponder::~LoopbackHttpResponder()
{
    stop();
    for (const Listener& listener : m_listeners)
        close(listener.fd);
    close(m_wakeRead);
    close(m_wakeWrite);
}

bool LoopbackHttpResponder::listen(int count, const QByteArray& address)
{
    for (int i = 0; i < count; ++i) {
        Listener listener;
        listener.address = address;
        listener.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener.fd < 0)
            return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = 0;
        inet_pton(AF_INET, address.constData(), &addr.sin_addr);
        socklen_t length = sizeof(addr);
        if (bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(listener.fd, 4096) != 0 ||
            getsockname(listener.fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            close(listener.fd);
            return false;
        }
        listener.port = ntohs(addr.sin_port);
        setNonBlocking(listener.fd);
        m_listeners.append(listener);
    }
    return true;
}

void LoopbackHttpResponder::setReply(int status, const QByteArray& body)
{
    m_reply = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status) +
              "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
              "\r\nConnection: close\r\n\r\n" + body;
}

void LoopbackHttpResponder::start()
{
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
}

void LoopbackHttpResponder::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop.store(true);
    const char byte = 1;
    (void)!write(m_wakeWrite, &byte, 1);
    m_thread.join();
}

QString LoopbackHttpResponder::hostPort(int i) const
{
    return QString::fromLatin1(m_listeners.at(i).address) + QLatin1Char(':') + QString::number(m_listeners.at(i).port);
}

void LoopbackHttpResponder::run()
{
    struct Client
    {
        QByteArray request;
        qsizetype sent = -1; // -1 while the request head is still arriving
    };
    // epoll keeps thousands of simultaneous connections cheap (benchmarks put 10,000 through it).
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    const auto watch = [&](int fd, uint32_t events, int op) {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        epoll_ctl(epoll, op, fd, &event);
    };
    QSet<int> listeners;
    watch(m_wakeRead, EPOLLIN, EPOLL_CTL_ADD);
    for (const Listener& listener : m_listeners) {
        watch(listener.fd, EPOLLIN, EPOLL_CTL_ADD);
        listeners.insert(listener.fd);
    }
    std::unordered_map<int, Client> clients;
    std::vector<epoll_event> events(256);
    while (!m_stop.load()) {
        const int ready = epoll_wait(epoll, events.data(), int(events.size()), 500);
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            if (fd == m_wakeRead)
                continue;
            if (listeners.contains(fd)) {
                for (;;) {
                    const int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    clients.emplace(client, Client());
                    watch(client, EPOLLIN, EPOLL_CTL_ADD);
                }
                continue;
            }
            const auto it = clients.find(fd);
            if (it == clients.end())
                continue;
            Client& client = it->second;
            bool done = false;
            if (client.sent < 0) {
                char buffer[4096];
                const ssize_t got = read(fd, buffer, sizeof(buffer));
                if (got == 0 || (got < 0 && errno != EAGAIN)) {
                    done = true;
                } else if (got > 0) {
                    client.request.append(buffer, got);
                    if (client.request.contains("\r\n\r\n")) {
                        client.sent = 0;
                        watch(fd, EPOLLOUT, EPOLL_CTL_MOD);
                    }
                }
            }
            if (!done && client.sent >= 0) {
                const ssize_t put = write(fd, m_reply.constData() + client.sent, m_reply.size() - client.sent);
                if (put < 0 && errno != EAGAIN) {
                    done = true;
                } else if (put > 0) {
                    client.sent += put;
                    if (client.sent == m_reply.size()) {
                        m_requests.fetch_add(1);
                        done = true;
                    }
                }
            }
            if (done) {
                close(fd); // also leaves the epoll set
                clients.erase(it);
            }
        }
    }
    for (const auto& [fd, client] : clients)
        close(fd);
    close(epoll);
}

} // namespace testsupport
