#include "support/LoopbackHttpResponder.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSet>

#include <cerrno>
#include <csignal>
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

QByteArray replyText(int status, const QByteArray& body, const QByteArray& contentType, const QByteArray& headers)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status) + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + headers + "\r\n" +
           body;
}

// The value of the request head's Cookie header, empty when it has none.
QByteArray cookieOf(const QByteArray& head)
{
    for (const QByteArray& line : head.split('\n')) {
        if (line.toLower().startsWith("cookie:"))
            return line.mid(7).trimmed();
    }
    return {};
}

// The kernel's name for an IPv4 socket address in /proc/net/tcp: the address as the host reads the four bytes,
// and the port, both in hexadecimal.
QByteArray procAddress(const sockaddr_in& address)
{
    return QByteArray::number(address.sin_addr.s_addr, 16).toUpper().rightJustified(8, '0') + ':' +
           QByteArray::number(ntohs(address.sin_port), 16).toUpper().rightJustified(4, '0');
}

// The inode of the socket whose own end is local and whose other end is remote, from the kernel's table.
QByteArray socketInode(const QByteArray& local, const QByteArray& remote)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1] == local && fields[2] == remote)
            return fields[9];
    }
    return {};
}

// The process that holds the other end of the accepted loopback connection fd: its socket is found in the
// kernel's table and then among the open files of every process. Both ends are on this machine, so this tells
// a browser's own connection from one that a proxy made for it, whatever addresses they use.
qint64 peerProcess(int fd, QByteArray* name)
{
    sockaddr_in self{};
    sockaddr_in peer{};
    socklen_t length = sizeof(self);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) != 0)
        return 0;
    length = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET)
        return 0;
    const QByteArray inode = socketInode(procAddress(peer), procAddress(self));
    if (inode.isEmpty() || inode == "0")
        return 0;
    const QByteArray target = "socket:[" + inode + ']';
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    qint64 found = 0;
    while (dirent* process = readdir(proc)) {
        bool numeric = false;
        const qint64 pid = QByteArray(process->d_name).toLongLong(&numeric);
        if (!numeric)
            continue;
        const QByteArray folder = "/proc/" + QByteArray(process->d_name) + "/fd";
        DIR* fds = opendir(folder.constData());
        if (!fds)
            continue;
        while (dirent* entry = readdir(fds)) {
            char link[64];
            const QByteArray path = folder + '/' + entry->d_name;
            const ssize_t size = readlink(path.constData(), link, sizeof(link));
            if (size == target.size() && target == QByteArray(link, int(size))) {
                found = pid;
                break;
            }
        }
        closedir(fds);
        if (found)
            break;
    }
    closedir(proc);
    if (found) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(found));
        if (comm.open(QIODevice::ReadOnly))
            *name = comm.readAll().trimmed();
    }
    return found;
}

QByteArray tlsErrorText()
{
    const unsigned long code = ERR_get_error();
    if (code == 0)
        return "connection closed during the handshake";
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    ERR_clear_error();
    return text;
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
    SSL_CTX_free(m_tls);
}

bool LoopbackHttpResponder::listen(int count, const QByteArray& address)
{
    return listenOn(count, address, false);
}

bool LoopbackHttpResponder::listenTls(int count, const QString& certificateFile, const QString& keyFile,
                                      const QByteArray& address)
{
    if (!m_tls) {
        m_tls = SSL_CTX_new(TLS_server_method());
        if (!m_tls)
            return false;
        if (SSL_CTX_use_certificate_chain_file(m_tls, QFile::encodeName(certificateFile).constData()) != 1 ||
            SSL_CTX_use_PrivateKey_file(m_tls, QFile::encodeName(keyFile).constData(), SSL_FILETYPE_PEM) != 1) {
            SSL_CTX_free(m_tls);
            m_tls = nullptr;
            return false;
        }
        // Replies are written in pieces as the socket takes them.
        SSL_CTX_set_mode(m_tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    return listenOn(count, address, true);
}

bool LoopbackHttpResponder::makeCertificate(const QString& folder, const QString& hostName, QString* certificateFile,
                                            QString* keyFile, QString* error)
{
    *certificateFile = folder + QStringLiteral("/") + hostName + QStringLiteral(".pem");
    *keyFile = folder + QStringLiteral("/") + hostName + QStringLiteral(".key");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    // An elliptic-curve key is made in milliseconds, an RSA key can take seconds on a busy machine.
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=") + hostName, QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=") +
                       (QHostAddress(hostName).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + hostName,
                   QStringLiteral("-keyout"), *keyFile, QStringLiteral("-out"), *certificateFile});
    const bool ended = openssl.waitForFinished(30000);
    if (ended && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0)
        return true;
    if (!ended)
        openssl.kill();
    *error = QStringLiteral("openssl could not make a certificate: ") + openssl.errorString() + QStringLiteral(" ") +
             QString::fromLocal8Bit(openssl.readAll());
    return false;
}

bool LoopbackHttpResponder::listenOn(int count, const QByteArray& address, bool tls)
{
    for (int i = 0; i < count; ++i) {
        Listener listener;
        listener.address = address;
        listener.tls = tls;
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

void LoopbackHttpResponder::setReply(int status, const QByteArray& body, const QByteArray& contentType,
                                     const QByteArray& headers)
{
    m_reply = replyText(status, body, contentType, headers);
}

void LoopbackHttpResponder::setReplyFor(const QByteArray& pathPrefix, int status, const QByteArray& body,
                                        const QByteArray& contentType, const QByteArray& headers)
{
    m_pathReplies.append({pathPrefix, replyText(status, body, contentType, headers)});
}

const QByteArray& LoopbackHttpResponder::replyTo(const QByteArray& request) const
{
    // "GET /path HTTP/1.1": the path is the second word of the request line.
    const qsizetype space = request.indexOf(' ');
    for (const auto& [prefix, reply] : m_pathReplies) {
        if (space > 0 && request.mid(space + 1).startsWith(prefix))
            return reply;
    }
    return m_reply;
}

void LoopbackHttpResponder::start()
{
    if (m_tls && m_tls13Only)
        SSL_CTX_set_min_proto_version(m_tls, TLS1_3_VERSION);
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

QList<LoopbackHttpResponder::Visit> LoopbackHttpResponder::visits() const
{
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_visits;
}

int LoopbackHttpResponder::recordVisit(int fd, const Listener& listener)
{
    Visit visit;
    visit.port = listener.port;
    visit.tls = listener.tls;
    visit.peerPid = peerProcess(fd, &visit.peer);
    const std::lock_guard<std::mutex> hold(m_lock);
    m_visits.append(visit);
    return int(m_visits.size()) - 1;
}

void LoopbackHttpResponder::updateVisit(int index, const QByteArray& request, const QByteArray& tlsFailure)
{
    if (index < 0)
        return;
    const std::lock_guard<std::mutex> hold(m_lock);
    Visit& visit = m_visits[index];
    if (!request.isEmpty()) {
        visit.request = request.left(request.indexOf("\r\n"));
        visit.cookie = cookieOf(request.left(request.indexOf("\r\n\r\n")));
    }
    if (!tlsFailure.isEmpty())
        visit.tlsFailure = tlsFailure;
}

void LoopbackHttpResponder::run()
{
    struct Client
    {
        QByteArray request;
        qsizetype sent = -1; // -1 while the request head is still arriving
        uint32_t events = EPOLLIN;
        SSL* tls = nullptr; // on a TLS listener
        bool handshaken = false;
        int visit = -1;
        QByteArray reply; // chosen when the request head is complete
    };
    // A client that leaves before its reply is written must not end the test: writes to it fail with EPIPE
    // instead of raising SIGPIPE (blocked on this thread only, so children started elsewhere do not inherit it).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // Plenty for any request head; a client that sends more is cut off.
    constexpr qsizetype kMaxRequest = 64 * 1024;
    // epoll keeps thousands of simultaneous connections cheap (benchmarks put 10,000 through it).
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    const auto watch = [&](int fd, uint32_t events, int op) {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        epoll_ctl(epoll, op, fd, &event);
    };
    std::unordered_map<int, const Listener*> listeners;
    watch(m_wakeRead, EPOLLIN, EPOLL_CTL_ADD);
    for (const Listener& listener : m_listeners) {
        watch(listener.fd, EPOLLIN, EPOLL_CTL_ADD);
        listeners.emplace(listener.fd, &listener);
    }
    std::unordered_map<int, Client> clients;
    const auto release = [](int fd, Client& client) {
        // A server that says goodbye (close_notify) leaves the client's session resumable; one that just closes
        // the connection makes an OpenSSL client drop it.
        if (client.tls && client.handshaken)
            SSL_shutdown(client.tls);
        SSL_free(client.tls);
        close(fd); // also leaves the epoll set
    };
    std::vector<epoll_event> events(256);
    while (!m_stop.load()) {
        const int ready = epoll_wait(epoll, events.data(), int(events.size()), 500);
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            if (fd == m_wakeRead)
                continue;
            if (const auto listener = listeners.find(fd); listener != listeners.end()) {
                for (;;) {
                    const int accepted = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (accepted < 0)
                        break;
                    Client client;
                    if (m_recordVisits)
                        client.visit = recordVisit(accepted, *listener->second);
                    if (listener->second->tls) {
                        client.tls = SSL_new(m_tls);
                        SSL_set_fd(client.tls, accepted);
                    }
                    clients.emplace(accepted, std::move(client));
                    watch(accepted, EPOLLIN, EPOLL_CTL_ADD);
                }
                continue;
            }
            const auto it = clients.find(fd);
            if (it == clients.end())
                continue;
            Client& client = it->second;
            bool done = false;
            uint32_t want = 0; // what to wait for next when the client cannot go on now
            // What a TLS call that made no progress wants before it is called again; 0 when the connection failed.
            const auto tlsWants = [&](int result) -> uint32_t {
                switch (SSL_get_error(client.tls, result)) {
                case SSL_ERROR_WANT_READ:
                    return EPOLLIN;
                case SSL_ERROR_WANT_WRITE:
                    return EPOLLOUT;
                default:
                    return 0;
                }
            };
            if (client.tls && !client.handshaken) {
                const int result = SSL_accept(client.tls);
                if (result == 1) {
                    client.handshaken = true;
                    m_tlsHandshakes.fetch_add(1);
                    if (SSL_session_reused(client.tls))
                        m_tlsResumed.fetch_add(1);
                } else {
                    want = tlsWants(result);
                    if (!want) {
                        updateVisit(client.visit, {}, tlsErrorText());
                        done = true;
                    }
                }
            }
            while (!done && !want && client.sent < 0) {
                char buffer[4096];
                const ssize_t got =
                    client.tls ? SSL_read(client.tls, buffer, sizeof(buffer)) : read(fd, buffer, sizeof(buffer));
                if (got <= 0) {
                    if (client.tls)
                        want = tlsWants(int(got));
                    else if (got < 0 && errno == EAGAIN)
                        want = EPOLLIN;
                    done = !want;
                    break;
                }
                client.request.append(buffer, got);
                if (client.request.contains("\r\n\r\n")) {
                    client.sent = 0;
                    client.reply = replyTo(client.request);
                    updateVisit(client.visit, client.request, {});
                    // Counted before the answer leaves: a client must never hold an answer not yet counted.
                    m_requests.fetch_add(1);
                } else if (client.request.size() > kMaxRequest) {
                    done = true;
                } else if (!client.tls) {
                    break; // the level-triggered wait calls again; TLS may hold decrypted bytes back, so it reads on
                }
            }
            if (!done && client.sent >= 0) {
                want = 0;
                const char* data = client.reply.constData() + client.sent;
                const qsizetype left = client.reply.size() - client.sent;
                const ssize_t put = client.tls ? SSL_write(client.tls, data, int(left)) : write(fd, data, left);
                if (put > 0) {
                    client.sent += put;
                    if (client.sent == client.reply.size()) {
                        done = true;
                    } else {
                        want = EPOLLOUT;
                    }
                } else if (client.tls) {
                    want = tlsWants(int(put));
                    done = !want;
                } else if (errno == EAGAIN) {
                    want = EPOLLOUT;
                } else {
                    done = true;
                }
            }
            if (done) {
                release(fd, client);
                clients.erase(it);
            } else if (want && want != client.events) {
                client.events = want;
                watch(fd, want, EPOLL_CTL_MOD);
            }
        }
    }
    for (auto& [fd, client] : clients)
        release(fd, client);
    close(epoll);
}

} // namespace testsupport
