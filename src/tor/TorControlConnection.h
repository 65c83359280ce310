#pragma once

#include "tor/TorControlReply.h"
#include "tor/TorReplyParser.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <utility>

class QTcpSocket;

// A client of tor's control port on 127.0.0.1, living on the thread that owns it and never blocking it.
// Commands go out in order and their replies come back in the same order; events (6xx) come as event().
// Replies and events are handed out from the event loop, never from inside a read, so a handler may send
// more commands, close the connection or delete it.
//
// Anything wrong with the peer (it closes, answers garbage, answers what was not asked, stays silent
// longer than the reply timeout) ends the connection with one failed(); commands still waiting then get
// no reply. Replies that tor gives with an error code (5xx) are ordinary replies to the command.
class TorControlConnection : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const TorControlReply&)>;

    explicit TorControlConnection(QObject* parent = nullptr);
    ~TorControlConnection() override;

    // Connects to 127.0.0.1:port and authenticates with the contents of tor's cookie file; authenticated()
    // or failed() follows.
    void open(quint16 port, const QByteArray& cookie);
    // Sends one command line (without its line end); done gets its reply. Refused (false, nothing sent)
    // when the connection is not open or the command holds a line break or a NUL, which would smuggle in
    // a second command.
    bool send(const QByteArray& command, Done done = {});
    // Ends the connection without a signal; waiting commands get no reply.
    void close();
    // Authenticated and not ended.
    bool isOpen() const { return m_state == State::Open; }
    // Whether the connection ended because tor closed it (rather than for something it sent or failed
    // to send); tor closes it when it ends.
    bool closedByPeer() const { return m_closedByPeer; }
    // How long a command may wait for its reply (and the connection for its authentication).
    void setReplyTimeout(int ms) { m_replyTimer.setInterval(ms); }

signals:
    void authenticated();
    void event(const TorControlReply& reply);
    void failed(const QString& message);

private:
    enum class State
    {
        Closed,
        Connecting,
        Authenticating,
        Open,
        Failed
    };

    void readSome();
    void deliver();
    void scheduleDelivery();
    void fail(const QString& message);
    void write(const QByteArray& command, Done done);

    State m_state = State::Closed;
    QTcpSocket* m_socket = nullptr; // a child; replaced for every open()
    quint16 m_port = 0;
    TorReplyParser m_parser;
    std::deque<Done> m_waiting;                      // one per command sent and not answered, in order
    QList<std::pair<TorControlReply, Done>> m_ready; // replies (and events, with no Done) not yet handed out
    QString m_failure;                               // set when failed() is still to be emitted
    bool m_deliveryQueued = false;
    bool m_closedByPeer = false;
    QTimer m_replyTimer;
};
