#include "support/LoopbackHttpResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    case 503: return "Service Unavailable";
    default: return "Status";
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
    std::unordered_map<int, Client> clients;
    std::vector<pollfd> fds;
    while (!m_stop.load()) {
        fds.clear();
        fds.push_back({m_wakeRead, POLLIN, 0});
        for (const Listener& listener : m_listeners)
            fds.push_back({listener.fd, POLLIN, 0});
        for (const auto& [fd, client] : clients)
            fds.push_back({fd, short(client.sent < 0 ? POLLIN : POLLOUT), 0});
        if (poll(fds.data(), fds.size(), 500) < 0)
            continue;
        const size_t listenerEnd = 1 + m_listeners.size();
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const int fd = fds[i].fd;
            if (i < listenerEnd) {
                for (;;) {
                    const int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    clients.emplace(client, Client());
                }
                continue;
            }
            Client& client = clients[fd];
            bool done = false;
            if (client.sent < 0) {
                char buffer[4096];
                const ssize_t got = read(fd, buffer, sizeof(buffer));
                if (got <= 0) {
                    done = true;
                } else {
                    client.request.append(buffer, got);
                    if (client.request.contains("\r\n\r\n"))
                        client.sent = 0;
                }
            } else {
                const ssize_t put = write(fd, m_reply.constData() + client.sent, m_reply.size() - client.sent);
                if (put <= 0) {
                    done = true;
                } else {
                    client.sent += put;
                    if (client.sent == m_reply.size()) {
                        m_requests.fetch_add(1);
                        done = true;
                    }
                }
            }
            if (done) {
                close(fd);
                clients.erase(fd);
            }
        }
    }
    for (const auto& [fd, client] : clients)
        close(fd);
}

} // namespace testsupport
