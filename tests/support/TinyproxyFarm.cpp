#include "support/TinyproxyFarm.h"

#include "support/EndsWithParent.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace testsupport {

namespace {

constexpr int kStartTimeoutMs = 15000;

int freePort()
{
    // The instances listen on every address, so the port must be free on all of them.
    QTcpServer server;
    server.listen(QHostAddress::Any, 0);
    return server.serverPort();
}

bool accepts(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(200);
}

} // namespace

TinyproxyFarm::TinyproxyFarm() : m_dir(QDir::tempPath() + QStringLiteral("/veilport-tinyproxy-farm-XXXXXX")) {}

TinyproxyFarm::~TinyproxyFarm()
{
    for (auto& process : m_processes) {
        if (!process)
            continue;
        process->kill();
        process->waitForFinished(3000);
    }
}

bool TinyproxyFarm::start(int count, int maxClientsEach)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        m_processes.push_back(nullptr);
        m_ports.push_back(0);
        if (!launch(i, maxClientsEach))
            return false;
    }
    const QDeadlineTimer deadline(kStartTimeoutMs);
    for (size_t i = 0; i < m_ports.size(); ++i) {
        // A port free when it was picked can be taken before the instance binds it; such an
        // instance ends at once and is started again on another port.
        int relaunches = 0;
        while (!accepts(m_ports[i])) {
            if (m_processes[i]->state() != QProcess::Running && relaunches < 3) {
                ++relaunches;
                if (!launch(int(i), maxClientsEach))
                    return false;
                continue;
            }
            if (deadline.hasExpired() || m_processes[i]->state() != QProcess::Running) {
                m_error = QStringLiteral("tinyproxy on port %1 did not come up").arg(m_ports[i]);
                return false;
            }
            QThread::msleep(20);
        }
    }
    return true;
}

bool TinyproxyFarm::launch(int i, int maxClientsEach)
{
    const int port = freePort();
    const QString conf = m_dir.filePath(QStringLiteral("tp%1.conf").arg(i));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write ") + conf;
        return false;
    }
    // No Listen line: the instance answers on every loopback address; Allow keeps everyone else out.
    // Each request leaves from the address it came to, so a service sees it come from elsewhere than
    // the user on 127.0.0.1.
    f.write(
        QStringLiteral("Port %1\nTimeout 60\nMaxClients %2\nAllow 127.0.0.0/8\nDisableViaHeader Yes\n"
                       "BindSame Yes\n"
                       "LogLevel Critical\nLogFile \"%3\"\nPidFile \"%4\"\n")
            .arg(port)
            .arg(maxClientsEach)
            .arg(m_dir.filePath(QStringLiteral("tp%1.log").arg(i)), m_dir.filePath(QStringLiteral("tp%1.pid").arg(i)))
            .toUtf8());
    f.close();
    auto process = std::make_unique<QProcess>();
    testsupport::EndsWithParent(*process);
    process->start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), conf});
    if (!process->waitForStarted(kStartTimeoutMs)) {
        m_error = QStringLiteral("tinyproxy did not start: ") + process->errorString();
        return false;
    }
    if (m_processes[size_t(i)]) {
        m_processes[size_t(i)]->kill();
        m_processes[size_t(i)]->waitForFinished(3000);
    }
    m_processes[size_t(i)] = std::move(process);
    m_ports[size_t(i)] = port;
    return true;
}

QString TinyproxyFarm::proxyText(int i) const
{
    // Consecutive proxies share an address until every instance has had one, so an instance's
    // addresses stay apart and no address holds more than count() ports.
    const int address = i / count() + 1;
    return QStringLiteral("127.%1.%2.%3:%4")
        .arg(1 + address / 62500)
        .arg(address / 250 % 250)
        .arg(address % 250 + 1)
        .arg(m_ports[size_t(i % count())]);
}

} // namespace testsupport
