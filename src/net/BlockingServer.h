#pragma once

#include "net/BlockingLimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;
class QTimer;

// What the blocking endpoint's owner and its thread share: the answers to give and the counts to read.
struct BlockingShared
{
    mutable QMutex lock; // guards page and headOnly
    QByteArray page;     // the whole response to a plain request
    QByteArray headOnly; // the same without its body, for HEAD

    std::atomic<quint64> answered{0};
    std::atomic<quint64> refused{0};
    std::atomic<quint64> dropped{0};
    std::atomic<int> open{0};
    std::atomic<int> peak{0};
};

// The blocking endpoint's listener and connections. It lives on the endpoint's own thread and is touched only
// there; the owner reaches it by queued calls.
class BlockingServer : public QObject
{
    Q_OBJECT

public:
    BlockingServer(const BlockingLimits& limits, std::shared_ptr<BlockingShared> shared);
    ~BlockingServer() override;

    // Listens on 127.0.0.1:port (0: a port the system chooses). The port listened on, or 0 with the reason in
    // error.
    quint16 listen(quint16 port, QString* error);

private:
    enum class Stage
    {
        Reading,   // waiting for a complete request head
        Answering, // the answer is being written
        Closing,   // answered and our side shut; reading what the client still sends until it closes
    };
    struct Connection
    {
        QByteArray head;
        QElapsedTimer since; // since acceptance, then since the answer was written
        Stage stage = Stage::Reading;
    };

    void acceptPending();
    void acceptFailed();
    void readFrom(QTcpSocket* socket);
    void written(QTcpSocket* socket);
    void answer(QTcpSocket* socket, Connection& connection);
    void sweep();
    // The connection that gives way to a new one: the oldest still waiting for its request, else the oldest.
    QTcpSocket* oldest() const;
    // Closes and forgets a connection; counted when the endpoint gave up on it rather than finishing it.
    void close(QTcpSocket* socket, bool counted);

    const BlockingLimits m_limits;
    const std::shared_ptr<BlockingShared> m_shared;
    QTcpServer* m_server = nullptr;
    QTimer* m_sweep = nullptr;
    std::unordered_map<QTcpSocket*, Connection> m_connections;
};
