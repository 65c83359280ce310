#pragma once

#include "platform/InstanceChannel.h"

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace platform {

// The instance channel on an abstract Unix socket ("@" + name in /proc/net/unix). The socket's
// name is visible to every user of the machine, so a bound name is the single-copy lock; the kernel
// drops it when the holder dies, even by SIGKILL, so a crashed copy never blocks the next start.
// Only processes of the holder's own user are answered; the peer is identified by SO_PEERCRED.
// Requests are small framed messages; anything malformed, oversized or too slow is dropped.
class UnixInstanceChannel : public QObject, public InstanceChannel
{
public:
    // Largest payload a request may carry (a path or a short text).
    static constexpr quint32 MaxPayload = 64 * 1024;
    // Requests being received at once; further peers wait in the listen backlog.
    static constexpr int MaxConnections = 16;
    // Time a peer has to deliver its whole request.
    static constexpr int RequestDeadlineMs = 3000;

    explicit UnixInstanceChannel(QObject* parent = nullptr);
    ~UnixInstanceChannel() override;

    bool claim(const QString& name) override;
    bool isClaimed() const override { return m_listenFd >= 0; }
    void serve(Handler handler) override;
    std::optional<qint32> send(const QString& name, quint32 message, qint32 wParam, const QByteArray& payload,
                               int timeoutMs) override;

    // Receives the socket of a connection that asked for a session, with the request's payload; the
    // receiver owns the socket (non-blocking, close-on-exec) from then on.
    using SessionHandler = std::function<void(int fd, const QByteArray& payload)>;
    // Requests carrying message are answered with 0 and their connection stays open for handler
    // (a long conversation such as a browser companion's) instead of being closed after the answer.
    void serveSessions(quint32 message, SessionHandler handler);
    // Asks the holder of name for a session: the connected socket, owned by the caller, once the
    // holder accepted; -1 when nobody of this user holds the name or it does not accept in time.
    static int openSession(const QString& name, quint32 message, const QByteArray& payload, int timeoutMs);

    // Number of requests being received now (for diagnostics and tests).
    int pendingConnections() const { return m_connections; }

    // A request as it travels between copies.
    struct Request
    {
        quint32 message = 0;
        qint32 wParam = 0;
        QByteArray payload;
    };
    enum class Frame
    {
        Incomplete, // more bytes are needed
        Complete,   // the buffer holds the whole request
        Malformed,  // not a request of this program
        Oversized,  // announces a payload larger than MaxPayload
    };
    // Reads the request at the start of buffer. Incomplete: wanted is the number of bytes still
    // missing (never more than the request announces); Complete: request holds it. Bytes beyond
    // the announced payload make the buffer malformed.
    static Frame decodeRequest(const QByteArray& buffer, Request& request, qsizetype& wanted);
    // The bytes of a request.
    static QByteArray encodeRequest(quint32 message, qint32 wParam, const QByteArray& payload);
    // The bytes of the answer to a request; nullopt: nobody there to answer.
    static QByteArray encodeReply(std::optional<qint32> result);
    // The result carried by an answer; nullopt when it is malformed or says nobody answered.
    static std::optional<qint32> decodeReply(const QByteArray& reply);
    // Size of an answer in bytes.
    static constexpr int ReplySize = 9;

private:
    class Connection;

    void startListening();
    void acceptPending();
    void readRequest(Connection* connection);
    void dispatch(Connection* connection, const Request& request);
    void dropConnection(Connection* connection);

    // The request's answer over a fresh connection; the socket is left open in fd when keepOpen.
    static std::optional<qint32> request(const QString& name, quint32 message, qint32 wParam, const QByteArray& payload,
                                         int timeoutMs, int* keepOpen);

    int m_listenFd = -1;
    quint32 m_sessionMessage = 0;
    SessionHandler m_sessionHandler;
    int m_connections = 0;
    Handler m_handler;
    std::unique_ptr<QSocketNotifier> m_listenNotifier;
};

} // namespace platform
