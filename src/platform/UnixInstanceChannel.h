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

    // Number of requests being received now (for diagnostics and tests).
    int pendingConnections() const { return m_connections; }

private:
    class Connection;

    void acceptPending();
    void readRequest(Connection* connection);
    void dispatch(Connection* connection);
    void dropConnection(Connection* connection);

    int m_listenFd = -1;
    int m_connections = 0;
    Handler m_handler;
    std::unique_ptr<QSocketNotifier> m_listenNotifier;
};

} // namespace platform
