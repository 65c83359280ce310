#include "support/TinyproxyProcess.h"

#include "support/EndsWithParent.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

namespace {

// Launches in all, the first included, before a start is given up.
constexpr int kLaunchAttempts = 5;
constexpr int kStopTimeoutMs = 5000;

} // namespace

TinyproxyProcess::TinyproxyProcess(const QString& folder, const Setup& setup) : m_folder(folder), m_setup(setup) {}

TinyproxyProcess::~TinyproxyProcess()
{
    stop();
}

int TinyproxyProcess::freePort(const QHostAddress& address)
{
    QTcpServer server;
    if (!server.listen(address, 0))
        return 0;
    return server.serverPort();
}

QString TinyproxyProcess::file(const char* name) const
{
    return m_folder + QLatin1Char('/') + QLatin1String(name);
}

bool TinyproxyProcess::start(int timeoutMs)
{
    return launch() && waitUntilAccepting(QDeadlineTimer(timeoutMs));
}

QByteArray TinyproxyProcess::configText() const
{
    QStringList lines{QStringLiteral("Port %1").arg(m_port)};
    if (!m_setup.listen.isEmpty())
        lines << QStringLiteral("Listen ") + m_setup.listen;
    lines << QStringLiteral("Timeout %1").arg(m_setup.timeoutSec)
          << QStringLiteral("MaxClients %1").arg(m_setup.maxClients) << QStringLiteral("Allow ") + m_setup.allow
          << QStringLiteral("DisableViaHeader Yes");
    if (!m_setup.bind.isEmpty())
        lines << QStringLiteral("Bind ") + m_setup.bind;
    if (m_setup.bindSame)
        lines << QStringLiteral("BindSame Yes");
    lines << QStringLiteral("LogLevel ") + m_setup.logLevel
          << QStringLiteral("LogFile \"%1\"").arg(file("tinyproxy.log"))
          << QStringLiteral("PidFile \"%1\"").arg(file("tinyproxy.pid")) << m_setup.extraLines;
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

bool TinyproxyProcess::launch()
{
    stop();
    if (QStandardPaths::findExecutable(QStringLiteral("tinyproxy")).isEmpty()) {
        m_error = QStringLiteral("tinyproxy is not installed (run scripts/setup)");
        return false;
    }
    QDir().mkpath(m_folder);
    m_port = freePort(m_setup.listen.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(m_setup.listen));
    const QString conf = file("tinyproxy.conf");
    QFile::remove(file("tinyproxy.log"));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = QStringLiteral("cannot write ") + conf;
        return false;
    }
    f.write(configText());
    f.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    EndsWithParent(*m_process);
    m_process->start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), conf});
    if (!m_process->waitForStarted(kStartTimeoutMs)) {
        m_error = QStringLiteral("tinyproxy did not start: ") + m_process->errorString();
        m_process.reset();
        return false;
    }
    return true;
}

bool TinyproxyProcess::accepts() const
{
    QTcpSocket socket;
    const QString host = m_setup.listen.isEmpty() ? QStringLiteral("127.0.0.1") : m_setup.listen;
    socket.connectToHost(host, quint16(m_port));
    const bool ok = socket.waitForConnected(200);
    socket.abort();
    return ok;
}

bool TinyproxyProcess::waitUntilAccepting(const QDeadlineTimer& deadline)
{
    int launches = 1;
    for (;;) {
        if (!m_process)
            return false; // launch() failed and said why
        const bool running = m_process->state() == QProcess::Running;
        if (running && accepts())
            return true;
        if (!running && launches < kLaunchAttempts) {
            ++launches;
            if (!launch())
                return false;
            continue;
        }
        if (!running || deadline.hasExpired()) {
            const QByteArray said = m_process->readAll();
            m_error = QStringLiteral("tinyproxy on port %1 did not come up: %2")
                          .arg(m_port)
                          .arg(QString::fromLocal8Bit(said));
            stop();
            return false;
        }
        // Returns at once when the process ends, so a lost port is taken up again without delay.
        m_process->waitForFinished(50);
    }
}

void TinyproxyProcess::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(kStopTimeoutMs);
    }
    m_process.reset();
}

bool TinyproxyProcess::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QByteArray TinyproxyProcess::log() const
{
    QFile f(file("tinyproxy.log"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace testsupport
