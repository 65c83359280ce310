#pragma once

#include <QByteArray>
#include <QString>

#include <openssl/types.h>

typedef struct ssl_session_st SSL_SESSION; // <openssl/ssl.h> is left to the source

#include <cstdint>

// The https address a tunnel request asks for, split as the request needs it.
struct TunnelTarget
{
    QByteArray host; // without the brackets of an IPv6 address
    int port = 443;
    QByteArray path; // path and query as they go on the wire, at least "/"
    bool hostIsAddress = false;

    // Parses an https address; false when it is none.
    static bool parse(const QString& url, TunnelTarget& target);
    // "host:port" as CONNECT and Host name it.
    QByteArray authority(bool withDefaultPort) const;
};

// Whether host is an IPv4 or IPv6 address as written in a URL (without brackets), not a name.
bool IsLiteralAddress(const QByteArray& host);

// One https GET through an HTTP proxy's CONNECT tunnel, driven by its owner's event loop: a proxy test's
// tunnelled request, done without libcurl because libcurl (7.88) builds a whole new TLS context for every
// connection, which cost a quarter of a test, and reads the proxy's answer to CONNECT one byte per system call.
// Here every request of a loop shares one TLS context, and the proxy's answer is read as it comes: nothing
// follows it until our TLS handshake begins. The answer is read whole (to its announced length, or to the end
// of the connection) and no larger than the owner's limit. Time limits are the owner's.
class TunnelRequest
{
public:
    struct Result
    {
        bool ok = false; // a whole answer with a 2xx status
        QByteArray body;
        QString error;
        bool tlsFailed = false; // the TLS handshake failed: the service may refuse the version asked for
        int startErrno = 0;     // why the socket could not be opened or the connection begun (the owner tells
                                // whether that is this machine's limit or the proxy's fault)
    };

    // context: the loop's TLS context, kept alive by the owner. resume: a session to offer, or null.
    TunnelRequest(const TunnelTarget& target, SSL_CTX* context, SSL_SESSION* resume, bool tls12Only, qint64 maxBody);
    ~TunnelRequest();
    TunnelRequest(const TunnelRequest&) = delete;
    TunnelRequest& operator=(const TunnelRequest&) = delete;

    // Starts connecting to the proxy at a literal address; false when the request has ended already.
    bool start(const QByteArray& proxyAddress, int proxyPort);
    int socket() const { return m_fd; }
    // The socket events (EPOLLIN, EPOLLOUT) the request waits for.
    uint32_t events() const;
    // Goes on as far as the socket allows; true once the request has ended.
    bool advance();
    // The connection to the proxy stands.
    bool connected() const { return m_step > Step::Connecting; }
    // The TLS handshake is over.
    bool handshaken() const { return m_handshaken; }
    // A TLS 1.2 session this request's full handshake made, for other requests to resume (the caller frees it).
    SSL_SESSION* takeNewSession();
    const Result& result() const { return m_result; }

private:
    enum class Step
    {
        Connecting,
        SendingConnect,
        ReadingConnect,
        Handshake,
        SendingRequest,
        ReadingAnswer,
        Ended
    };

    void end(const QString& error);
    bool sendPlain();
    bool readConnectAnswer();
    bool handshake();
    bool sendRequest();
    bool readAnswer();
    // Judges the whole answer once it is in.
    void finishAnswer();
    // Whether the answer is complete without waiting for the connection to end (its announced length is in).
    bool answerComplete();

    const TunnelTarget m_target;
    SSL_CTX* const m_context;
    SSL_SESSION* m_resume;
    const bool m_tls12Only;
    const qint64 m_maxBody;
    int m_fd = -1;
    SSL* m_ssl = nullptr;
    bool m_wantWrite = false; // the TLS layer waits for the socket to take data
    bool m_handshaken = false;
    Step m_step = Step::Connecting;
    QByteArray m_out;      // what is still to be sent
    QByteArray m_in;       // what came so far
    qint64 m_headEnd = -1; // where the answer's body starts, once its head is in
    Result m_result;
};
