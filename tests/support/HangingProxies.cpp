#include "HangingProxies.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

HangingProxies::~HangingProxies()
{
    stop();
}

bool HangingProxies::start()
{
    // Every connection a checker holds open is a descriptor here too.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    // No single address: the port answers on all of 127.0.0.0/8; others are turned away in run().
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof(addr);
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(m_listen, 4096) != 0 || getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        m_error = QStringLiteral("cannot listen: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        stop();
        return false;
    }
    m_port = ntohs(addr.sin_port);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { run(); });
    return true;
}

void HangingProxies::stop()
{
    if (m_thread.joinable()) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = write(m_wake, &one, sizeof(one));
        m_thread.join();
    }
    for (int* fd : {&m_listen, &m_wake}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

QString HangingProxies::proxyText(int i) const
{
    return QStringLiteral("127.3.%1.%2:%3").arg(i / 250 % 250).arg(i % 250 + 1).arg(m_port);
}

void HangingProxies::run()
{
    const int poll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_listen;
    epoll_ctl(poll, EPOLL_CTL_ADD, m_listen, &ev);
    ev.data.fd = m_wake;
    epoll_ctl(poll, EPOLL_CTL_ADD, m_wake, &ev);
    std::vector<int> open;
    epoll_event events[256];
    char sink[4096];
    bool running = true;
    while (running) {
        const int n = epoll_wait(poll, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_wake) {
                running = false;
            } else if (fd == m_listen) {
                sockaddr_in peer{};
                socklen_t len = sizeof(peer);
                int c = -1;
                while ((c = accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &len,
                                    SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    if ((ntohl(peer.sin_addr.s_addr) >> 24) != 127) {
                        close(c);
                        continue;
                    }
                    ++m_accepted;
                    epoll_event cev{};
                    cev.events = EPOLLIN | EPOLLRDHUP;
                    cev.data.fd = c;
                    epoll_ctl(poll, EPOLL_CTL_ADD, c, &cev);
                    open.push_back(c);
                    len = sizeof(peer);
                }
            } else {
                // Whatever the checker sends is read and never answered; its close ends the connection.
                ssize_t got = 0;
                while ((got = read(fd, sink, sizeof(sink))) > 0) {
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    epoll_ctl(poll, EPOLL_CTL_DEL, fd, nullptr);
                    close(fd);
                    std::erase(open, fd);
                }
            }
        }
    }
    for (int fd : open)
        close(fd);
    close(poll);
}

} // namespace testsupport
