#include "proxy/TunnelRequest.h"

#include "net/Transfer.h"
#include "net/WireUrl.h"

#include <QUrl>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The proxy's answer to CONNECT and the head of the service's answer are a few lines each.
constexpr qint64 kMaxHead = 16 * 1024;
// Room for the framing of a chunked body on top of the body itself.
constexpr qint64 kChunkFraming = 8 * 1024;
constexpr int kReadBlock = 16 * 1024;

QString tlsError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("the connection ended");
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return QString::fromLatin1(text);
}

// What the head of an HTTP answer says, read once it is all in.
struct AnswerHead
{
    qint64 end = -1; // where the body starts; -1 while the head is not all in
    int status = 0;  // 0: the first line is no HTTP status line
    bool chunked = false;
    qint64 length = -1;        // the announced length; -1 when none is announced
    bool lengthBroken = false; // an announced length that is no number, or two that disagree
};

AnswerHead readHead(const QByteArray& in)
{
    AnswerHead head;
    // A head ends with a blank line; a peer that writes bare line feeds is read as it means.
    const qsizetype crlf = in.indexOf("\r\n\r\n");
    const qsizetype lf = in.indexOf("\n\n");
    if (crlf < 0 && lf < 0)
        return head;
    head.end = (lf >= 0 && (crlf < 0 || lf < crlf)) ? lf + 2 : crlf + 4;
    const QList<QByteArray> lines = in.left(head.end).split('\n');
    const QByteArray first = lines.first().trimmed();
    bool ok = false;
    const int status = first.mid(9, 3).toInt(&ok);
    if (first.startsWith("HTTP/1.") && first.size() >= 12 && first[8] == ' ' && ok && status >= 100)
        head.status = status;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            head.chunked = head.chunked || value.toLower().contains("chunked");
        } else if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            // An answer that could be read two ways is no answer.
            const std::optional<qint64> length = Transfer::parseLength(value);
            head.lengthBroken = head.lengthBroken || !length || (head.length >= 0 && *length != head.length);
            if (length)
                head.length = *length;
        }
    }
    return head;
}

// Decodes a chunked body; false when it is broken or incomplete.
bool dechunk(const QByteArray& raw, QByteArray& body)
{
    qsizetype at = 0;
    for (;;) {
        const qsizetype lineEnd = raw.indexOf("\r\n", at);
        if (lineEnd < 0)
            return false;
        QByteArray size = raw.mid(at, lineEnd - at);
        if (const qsizetype extension = size.indexOf(';'); extension >= 0)
            size.truncate(extension);
        bool ok = false;
        const qint64 bytes = size.trimmed().toLongLong(&ok, 16);
        if (!ok || bytes < 0 || bytes > raw.size())
            return false;
        at = lineEnd + 2;
        if (bytes == 0)
            return true; // trailers, if any, are of no interest
        if (at + bytes + 2 > raw.size() || raw.mid(at + bytes, 2) != "\r\n")
            return false;
        body.append(raw.constData() + at, bytes);
        at += bytes + 2;
    }
}

} // namespace

bool TunnelTarget::parse(const QString& url, TunnelTarget& target)
{
    const QUrl parsed = QUrl::fromEncoded(WireUrl(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0 ||
        parsed.host().isEmpty())
        return false;
    target.host = parsed.host(QUrl::FullyEncoded).toLatin1();
    target.port = parsed.port(443);
    target.path = parsed.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.path.isEmpty() || target.path[0] != '/')
        target.path.prepend('/');
    target.hostIsAddress = IsLiteralAddress(target.host);
    return true;
}

bool IsLiteralAddress(const QByteArray& host)
{
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.constData(), &v4) == 1 || inet_pton(AF_INET6, host.constData(), &v6) == 1;
}

QByteArray TunnelTarget::authority(bool withDefaultPort) const
{
    const QByteArray name = host.contains(':') ? '[' + host + ']' : host;
    if (!withDefaultPort && port == 443)
        return name;
    return name + ':' + QByteArray::number(port);
}

TunnelRequest::TunnelRequest(const TunnelTarget& target, SSL_CTX* context, SSL_SESSION* resume, bool tls12Only,
                             qint64 maxBody)
    : m_target(target), m_context(context), m_resume(resume), m_tls12Only(tls12Only), m_maxBody(maxBody)
{
    // The owner may replace its session before this request's handshake begins.
    if (m_resume)
        SSL_SESSION_up_ref(m_resume);
}

TunnelRequest::~TunnelRequest()
{
    if (m_resume)
        SSL_SESSION_free(m_resume);
    if (m_ssl) {
        // OpenSSL takes a connection freed before it said goodbye for a broken one and forbids its session for
        // good, the very session every other tunnel of the loop resumes: the goodbye is marked as said (not
        // sent, the connection ends here anyway).
        if (m_handshaken)
            SSL_set_shutdown(m_ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        SSL_free(m_ssl);
    }
    if (m_fd >= 0)
        close(m_fd);
}

bool TunnelRequest::start(const QByteArray& proxyAddress, int proxyPort)
{
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, proxyAddress.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(quint16(proxyPort));
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, proxyAddress.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(quint16(proxyPort));
        length = sizeof(sockaddr_in6);
    } else {
        end(QStringLiteral("the proxy's address is no address"));
        return false;
    }
    m_fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_result.startErrno = errno;
        end(QStringLiteral("no socket: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        m_result.startErrno = error;
        end(QStringLiteral("cannot connect to the proxy: %1").arg(QString::fromLocal8Bit(strerror(error))));
        return false;
    }
    const QByteArray authority = m_target.authority(true);
    m_out = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority +
            "\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n";
    return true;
}

uint32_t TunnelRequest::events() const
{
    switch (m_step) {
    case Step::Connecting:
    case Step::SendingConnect:
        return EPOLLOUT;
    case Step::ReadingConnect:
        return EPOLLIN;
    case Step::Handshake:
    case Step::SendingRequest:
    case Step::ReadingAnswer:
        return m_wantWrite ? EPOLLOUT : EPOLLIN;
    case Step::Ended:
        break;
    }
    return 0;
}

void TunnelRequest::end(const QString& error)
{
    m_result.error = error;
    m_result.ok = error.isEmpty();
    m_step = Step::Ended;
}

bool TunnelRequest::advance()
{
    // Each step returns false while it waits for the socket.
    for (;;) {
        switch (m_step) {
        case Step::Connecting: {
            int error = 0;
            socklen_t size = sizeof(error);
            if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            if (error != 0) {
                end(QStringLiteral("cannot connect to the proxy: %1").arg(QString::fromLocal8Bit(strerror(error))));
                break;
            }
            // No error is also what a connection still under way shows: only a peer's address says it stands.
            sockaddr_storage peer{};
            socklen_t peerSize = sizeof(peer);
            if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
                return false;
            m_step = Step::SendingConnect;
            break;
        }
        case Step::SendingConnect:
            if (!sendPlain())
                return false;
            break;
        case Step::ReadingConnect:
            if (!readConnectAnswer())
                return false;
            break;
        case Step::Handshake:
            if (!handshake())
                return false;
            break;
        case Step::SendingRequest:
            if (!sendRequest())
                return false;
            break;
        case Step::ReadingAnswer:
            if (!readAnswer())
                return false;
            break;
        case Step::Ended:
            return true;
        }
    }
}

bool TunnelRequest::sendPlain()
{
    while (!m_out.isEmpty()) {
        const ssize_t sent = ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR))
            return false;
        if (sent <= 0) {
            end(QStringLiteral("the proxy closed the connection: %1").arg(QString::fromLocal8Bit(strerror(errno))));
            return true;
        }
        m_out.remove(0, sent);
    }
    m_step = Step::ReadingConnect;
    return true;
}

bool TunnelRequest::readConnectAnswer()
{
    char block[4096];
    for (;;) {
        const ssize_t got = ::recv(m_fd, block, sizeof(block), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return false;
        if (got <= 0) {
            end(QStringLiteral("the proxy ended the connection inside its answer to CONNECT"));
            return true;
        }
        m_in.append(block, got);
        const AnswerHead head = readHead(m_in);
        if (head.end < 0) {
            if (m_in.size() > kMaxHead) {
                end(QStringLiteral("the proxy's answer to CONNECT is too long"));
                return true;
            }
            continue;
        }
        if (head.status < 200 || head.status > 299) {
            end(head.status == 0 ? QStringLiteral("the proxy's answer to CONNECT is no HTTP answer")
                                 : QStringLiteral("the proxy refused the tunnel (HTTP %1)").arg(head.status));
            return true;
        }
        // The service speaks only after our TLS greeting: anything more came from the proxy.
        if (m_in.size() > head.end) {
            end(QStringLiteral("the proxy sent data of its own into the tunnel"));
            return true;
        }
        m_in.clear();
        m_step = Step::Handshake;
        return true;
    }
}

bool TunnelRequest::handshake()
{
    if (!m_ssl) {
        m_ssl = SSL_new(m_context);
        if (!m_ssl || SSL_set_fd(m_ssl, m_fd) != 1) {
            end(QStringLiteral("cannot create a TLS connection"));
            return true;
        }
        if (m_tls12Only)
            SSL_set_max_proto_version(m_ssl, TLS1_2_VERSION);
        if (!m_target.hostIsAddress)
            SSL_set_tlsext_host_name(m_ssl, m_target.host.constData());
        if (m_resume)
            SSL_set_session(m_ssl, m_resume);
    }
    ERR_clear_error();
    const int done = SSL_connect(m_ssl);
    if (done == 1) {
        m_wantWrite = false;
        m_handshaken = true;
        const QByteArray host = m_target.authority(false);
        m_out = "GET " + m_target.path + " HTTP/1.1\r\nHost: " + host +
                "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                "Connection: close\r\n\r\n";
        m_step = Step::SendingRequest;
        return true;
    }
    const int error = SSL_get_error(m_ssl, done);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        m_wantWrite = error == SSL_ERROR_WANT_WRITE;
        return false;
    }
    m_result.tlsFailed = true;
    end(QStringLiteral("TLS handshake failed: %1").arg(tlsError()));
    return true;
}

bool TunnelRequest::sendRequest()
{
    ERR_clear_error();
    const int sent = SSL_write(m_ssl, m_out.constData(), int(m_out.size()));
    if (sent > 0) {
        m_out.clear();
        m_wantWrite = false;
        m_step = Step::ReadingAnswer;
        return true;
    }
    const int error = SSL_get_error(m_ssl, sent);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        m_wantWrite = error == SSL_ERROR_WANT_WRITE;
        return false;
    }
    end(QStringLiteral("the tunnel ended while the request was sent: %1").arg(tlsError()));
    return true;
}

bool TunnelRequest::readAnswer()
{
    const qint64 limit = kMaxHead + m_maxBody + kChunkFraming;
    for (;;) {
        const qsizetype had = m_in.size();
        m_in.resize(had + kReadBlock);
        ERR_clear_error();
        const int got = SSL_read(m_ssl, m_in.data() + had, kReadBlock);
        m_in.resize(had + std::max(0, got));
        if (got > 0) {
            if (m_in.size() > limit) {
                end(QStringLiteral("response body too large"));
                return true;
            }
            if (answerComplete()) {
                finishAnswer();
                return true;
            }
            continue;
        }
        const int error = SSL_get_error(m_ssl, got);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            m_wantWrite = error == SSL_ERROR_WANT_WRITE;
            return false;
        }
        // The end of the connection is the end of an answer that announced no length (the context takes an end
        // without TLS's own closing message for one too).
        if (error == SSL_ERROR_ZERO_RETURN) {
            ERR_clear_error();
            finishAnswer();
            return true;
        }
        end(QStringLiteral("the tunnel failed while the answer came: %1").arg(tlsError()));
        return true;
    }
}

bool TunnelRequest::answerComplete()
{
    // Once the head is in, only the head is read again.
    const AnswerHead head = readHead(m_headEnd < 0 ? m_in : m_in.left(m_headEnd));
    m_headEnd = head.end;
    if (m_headEnd < 0)
        return false;
    if (head.chunked) {
        QByteArray body;
        return dechunk(m_in.mid(m_headEnd), body);
    }
    return head.length >= 0 && !head.lengthBroken && m_in.size() - m_headEnd >= head.length;
}

void TunnelRequest::finishAnswer()
{
    const AnswerHead head = readHead(m_in);
    if (head.end < 0 || head.end > kMaxHead) {
        end(QStringLiteral("connection closed inside the reply's headers"));
        return;
    }
    if (head.status == 0) {
        end(QStringLiteral("the answer through the tunnel is no HTTP answer"));
        return;
    }
    QByteArray body;
    if (head.chunked) {
        if (!dechunk(m_in.mid(head.end), body)) {
            end(QStringLiteral("the answer's chunked body is broken or cut short"));
            return;
        }
    } else if (head.lengthBroken) {
        end(QStringLiteral("the answer's announced length is broken"));
        return;
    } else {
        body = m_in.mid(head.end);
        if (head.length >= 0) {
            if (body.size() < head.length) {
                end(QStringLiteral("body shorter than its announced length"));
                return;
            }
            body.truncate(head.length);
        }
    }
    if (body.size() > m_maxBody) {
        end(QStringLiteral("response body too large"));
        return;
    }
    m_result.body = body;
    end(head.status >= 200 && head.status <= 299 ? QString() : QStringLiteral("HTTP status %1").arg(head.status));
}

SSL_SESSION* TunnelRequest::takeNewSession()
{
    if (!m_ssl || !handshaken() || SSL_session_reused(m_ssl) || SSL_version(m_ssl) != TLS1_2_VERSION)
        return nullptr;
    return SSL_get1_session(m_ssl);
}
