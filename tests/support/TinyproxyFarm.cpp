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
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
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
        f.write(QStringLiteral("Port %1\nTimeout 60\nMaxClients %2\nAllow 127.0.0.0/8\nDisableViaHeader Yes\n"
                               "BindSame Yes\n"
                               "LogLevel Critical\nLogFile \"%3\"\nPidFile \"%4\"\n")
                    .arg(port)
                    .arg(maxClientsEach)
                    .arg(m_dir.filePath(QStringLiteral("tp%1.log").arg(i)),
                         m_dir.filePath(QStringLiteral("tp%1.pid").arg(i)))
                    .toUtf8());
        f.close();
        auto process = std::make_unique<QProcess>();
        testsupport::EndsWithParent(*process);
        process->start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), conf});
        if (!process->waitForStarted(kStartTimeoutMs)) {
            m_error = QStringLiteral("tinyproxy did not start: ") + process->errorString();
            return false;
        }
        m_processes.push_back(std::move(process));
        m_ports.push_back(port);
    }
    const QDeadlineTimer deadline(kStartTimeoutMs);
    for (size_t i = 0; i < m_ports.size(); ++i) {
        while (!accepts(m_ports[i])) {
            if (deadline.hasExpired() || m_processes[i]->state() != QProcess::Running) {
                m_error = QStringLiteral("tinyproxy on port %1 did not come up").arg(m_ports[i]);
                return false;
            }
            QThread::msleep(20);
        }
    }
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
