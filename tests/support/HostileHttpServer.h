#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

namespace testsupport {

// A loopback peer that misbehaves on purpose: replies that never end, trickle a byte at a time,
// declare absurd lengths, carry broken status lines and headers, or answer with noise. It serves
// every connection with one script on its own thread, so it keeps streaming while the thread
// under test is blocked or busy, and it never holds a generated body in memory (a body of
// several GiB costs nothing here).
//
//     HostileHttpServer peer;
//     peer.start(HostileHttpServer::Script().send(HostileHttpServer::head(200, 3ll << 30)).stream(3ll << 30));
//     client.get(peer.url("/getproxy.php"));
//
// It listens on 127.0.0.1 on a port the system chooses. Unless the script says otherwise, a
// connection first reads the request head (up to the blank line), then plays the steps, then
// closes. A peer that leaves ends its connection at once.
class HostileHttpServer
{
public:
    class Script
    {
    public:
        // Writes bytes as they are.
        Script& send(const QByteArray& bytes);
        // Writes count bytes of fill as fast as the client takes them; count < 0 never ends.
        Script& stream(qint64 count, char fill = 'a');
        // Writes the bytes one at a time, intervalMs apart; empty bytes trickle fill for ever.
        Script& trickle(const QByteArray& bytes, int intervalMs, char fill = 'a');
        // Waits before the next step.
        Script& pause(int ms);
        // Keeps the connection open and silent until the client leaves or the server stops.
        Script& hang();
        // Starts the steps as soon as a connection is accepted, without waiting for a request.
        Script& withoutRequest();

        struct Step
        {
            enum Kind
            {
                Send,
                Stream,
                Trickle,
                Pause,
                Hang
            } kind;
            QByteArray bytes;
            qint64 count = 0;
            int ms = 0;
            char fill = 'a';
        };
        QList<Step> steps;
        bool waitForRequest = true;
    };

    HostileHttpServer();
    // Stops serving and closes every connection.
    ~HostileHttpServer();
    HostileHttpServer(const HostileHttpServer&) = delete;
    HostileHttpServer& operator=(const HostileHttpServer&) = delete;

    // Listens and serves every connection with script; false when the port cannot be opened.
    bool start(const Script& script);
    // Stops serving and closes every connection (also done by the destructor).
    void stop();

    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>".
    QString hostPort() const;
    // "http://127.0.0.1:<port>" followed by path.
    QString url(const QString& path) const;

    // Connections accepted so far, and those still open.
    int connections() const { return m_connections.load(); }
    int openConnections() const { return m_open.load(); }
    // Bytes the clients have taken from this server so far, over all connections.
    qint64 bytesSent() const { return m_bytesSent.load(); }
    // The request heads received so far (each cut at 64 KiB), in order of arrival.
    QList<QByteArray> requests() const;

    // "HTTP/1.1 <status> Hostile" with a Content-Length header and the blank line.
    static QByteArray head(int status, qint64 contentLength);
    // count bytes that are the same on every call with the same seed, for noise replies.
    static QByteArray noise(int count, quint32 seed = 1);

private:
    void run();

    Script m_script;
    int m_listenFd = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    quint16 m_port = 0;
    std::atomic_bool m_stop{false};
    std::atomic_int m_connections{0};
    std::atomic_int m_open{0};
    std::atomic<qint64> m_bytesSent{0};
    mutable std::mutex m_lock; // guards m_requests
    QList<QByteArray> m_requests;
    std::thread m_thread;
};

} // namespace testsupport
