#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

// One connected browser companion: the session socket its host opened on the instance channel,
// read and written without ever blocking the user-interface thread.
class CompanionSession : public QObject
{
    Q_OBJECT
public:
    // Output that a companion does not take is not kept without end: past this it is dropped.
    static constexpr qsizetype MaxPendingOutput = 1024 * 1024;

    // Takes ownership of fd; greeting is the host's JSON greeting (the browser family).
    CompanionSession(int fd, const QByteArray& greeting, QObject* parent = nullptr);
    ~CompanionSession() override;

    // The browser as the companion names itself ("firefox", "chromium", "google-chrome"...).
    QString browser() const { return m_browser; }
    // The companion's version, once it said hello.
    QString version() const { return m_version; }
    // Whether the host that opened the session was started by Firefox. Taken from the host's greeting, which
    // the companion's own hello cannot change.
    bool isFirefox() const { return m_firefox; }
    bool isOpen() const { return m_fd >= 0; }

    // Queues the message and writes what the socket takes now; false when the session is closed.
    bool send(const QJsonObject& message);
    // Closes the socket after one last attempt to hand over what is queued.
    void close();

signals:
    // A message from the companion (its hello is handled here and not passed on). Emitted from the event loop,
    // never from inside a read, so a receiver may open a window or end the session.
    void received(const QJsonObject& message);
    // The session ended (the companion, its host or the browser went away, or spoke out of turn).
    void closed();

private:
    void readAvailable();
    void writePending();
    void scheduleDelivery();
    void deliver();

    int m_fd;
    QString m_browser;
    QString m_version;
    bool m_firefox = false;
    QByteArray m_in;
    // Messages read but not yet handed on, and whether the companion's end is gone after them.
    QList<QJsonObject> m_inbox;
    bool m_ending = false;
    bool m_deliveryQueued = false;
    QByteArray m_out;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
};
