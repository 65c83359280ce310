#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

namespace testsupport {

// One real tinyproxy, the one way tests and benchmarks start it: its configuration, log and pid file in a
// folder of its own, on a port free when it starts, in the foreground as a child process that ends with the
// thread that started it, and is killed (by its own pid) by stop() or on destruction. No "Via" header is
// added, as an elite proxy would do.
class TinyproxyProcess
{
public:
    struct Setup
    {
        // The address it listens on; empty: every address (Allow alone keeps the world out, so the addresses of
        // the machine it runs on must all be loopback ones or the port firewalled).
        QString listen = QStringLiteral("127.0.0.1");
        QString allow = QStringLiteral("127.0.0.1");
        int maxClients = 100;
        int timeoutSec = 30;
        // The address requests leave from; empty: the system's choice.
        QString bind;
        // Each request leaves from the address it came to, for an instance reached on many loopback addresses.
        bool bindSame = false;
        QString logLevel = QStringLiteral("Info");
        // Lines added at the end of the configuration (a leaking header, a CONNECT port restriction ...).
        QStringList extraLines;
    };

    static constexpr int kStartTimeoutMs = 15000;

    TinyproxyProcess(const QString& folder, const Setup& setup);
    ~TinyproxyProcess();
    TinyproxyProcess(const TinyproxyProcess&) = delete;
    TinyproxyProcess& operator=(const TinyproxyProcess&) = delete;

    // launch() and waitUntilAccepting() in one.
    bool start(int timeoutMs = kStartTimeoutMs);
    // Writes the configuration for a port free now and starts tinyproxy without waiting for it to listen, so
    // many can come up side by side; false (with errorText()) when it cannot be started at all.
    bool launch();
    // Returns once it accepts connections, false (with errorText()) when it has not by the deadline. The port
    // was free when picked but may be taken before tinyproxy binds it; an instance that ends so is launched
    // again on another port, a few times.
    bool waitUntilAccepting(const QDeadlineTimer& deadline);
    // Kills it; its port then refuses connections (port() still names it).
    void stop();
    bool isRunning() const;
    int port() const { return m_port; }
    // Its log (at level Info, each forwarded request).
    QByteArray log() const;
    QString errorText() const { return m_error; }

    // A TCP port free at the moment of the call on address (QHostAddress::Any: on every address); 0 if none.
    static int freePort(const QHostAddress& address);

private:
    bool accepts() const;
    QByteArray configText() const;
    QString file(const char* name) const;

    const QString m_folder;
    const Setup m_setup;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QString m_error;
};

} // namespace testsupport
