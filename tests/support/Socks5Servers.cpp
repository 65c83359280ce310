#include "support/Socks5Servers.h"

#include "support/EndsWithParent.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace testsupport {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kPortAttempts = 5;

int freePort(const QHostAddress& address)
{
    QTcpServer server;
    return server.listen(address, 0) ? server.serverPort() : 0;
}

bool accepts(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    const bool ok = socket.waitForConnected(200);
    socket.abort();
    return ok;
}

QString executable(Socks5Servers::Server server)
{
    return server == Socks5Servers::Dante ? QStringLiteral("/usr/sbin/danted")
                                          : QStandardPaths::findExecutable(QStringLiteral("microsocks"));
}

} // namespace

Socks5Servers::Socks5Servers() : m_dir(QDir::tempPath() + QStringLiteral("/veilport-socks5-XXXXXX")) {}

Socks5Servers::~Socks5Servers()
{
    for (int i = 0; i < count(); ++i)
        stop(i);
}

bool Socks5Servers::isolatedNetwork()
{
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            return false;
    }
    return true;
}

bool Socks5Servers::start(Server server, const QStringList& hostNames)
{
    m_error.clear();
    Instance instance;
    if (!launch(instance, server, QStringLiteral("127.0.0.1"), m_started++, hostNames))
        return false;
    m_instances.push_back(std::move(instance));
    return true;
}

bool Socks5Servers::startFarm(int count)
{
    m_error.clear();
    if (!isolatedNetwork()) {
        m_error = QStringLiteral("a SOCKS5 farm listens on every address: run it in a network namespace with "
                                 "loopback only (unshare --net)");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        Instance instance;
        if (!launch(instance, Microsocks, QStringLiteral("0.0.0.0"), m_started++))
            return false;
        m_instances.push_back(std::move(instance));
    }
    return true;
}

QString Socks5Servers::writeHostsFile(const QStringList& hostNames, int number)
{
    QFile system(QStringLiteral("/etc/hosts"));
    QByteArray hosts = system.open(QIODevice::ReadOnly) ? system.readAll() : QByteArray("127.0.0.1 localhost\n");
    if (!hosts.endsWith('\n'))
        hosts += '\n';
    for (const QString& name : hostNames)
        hosts += "127.0.0.1 " + name.toUtf8() + '\n';
    const QString path = m_dir.filePath(QStringLiteral("hosts%1").arg(number));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(hosts) != hosts.size())
        return QString();
    return path;
}

bool Socks5Servers::launch(Instance& instance, Server server, const QString& listen, int number,
                           const QStringList& hostNames)
{
    const QString program = executable(server);
    if (program.isEmpty() || !QFile::exists(program)) {
        m_error = server == Dante ? QStringLiteral("danted is not installed (dante-server; run scripts/setup)")
                                  : QStringLiteral("microsocks is not installed (run scripts/setup)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    instance.outgoing = QStringLiteral("127.0.0.%1").arg(60 + number % 190);
    const QHostAddress listenAddress(listen);
    // Neither server can report an ephemeral port: a free one is picked and handed over, and a start that
    // lost it to another process meanwhile is tried again on a fresh one.
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        instance.port = freePort(listenAddress);
        QStringList arguments;
        if (server == Dante) {
            const QString conf = m_dir.filePath(QStringLiteral("danted%1.conf").arg(number));
            QFile file(conf);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                m_error = QStringLiteral("cannot write ") + conf;
                return false;
            }
            file.write(QStringLiteral("logoutput: stderr\n"
                                      "internal: %1 port = %2\n"
                                      "external: %3\n"
                                      "socksmethod: none\n"
                                      "clientmethod: none\n"
                                      "user.privileged: root\n"
                                      "user.unprivileged: nobody\n"
                                      "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                      "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n")
                           .arg(listen)
                           .arg(instance.port)
                           .arg(instance.outgoing)
                           .toUtf8());
            file.close();
            arguments = {QStringLiteral("-f"), conf,
                         QStringLiteral("-N"), QStringLiteral("1"),
                         QStringLiteral("-p"), m_dir.filePath(QStringLiteral("danted%1.pid").arg(number))};
        } else {
            arguments = {QStringLiteral("-i"), listen,           QStringLiteral("-p"), QString::number(instance.port),
                         QStringLiteral("-b"), instance.outgoing};
        }
        instance.process = std::make_unique<QProcess>();
        instance.process->setProcessChannelMode(QProcess::MergedChannels);
        EndsWithParent(*instance.process);
        if (!hostNames.isEmpty()) {
            const QString hosts = writeHostsFile(hostNames, number);
            if (hosts.isEmpty()) {
                m_error = QStringLiteral("cannot write a hosts file");
                return false;
            }
            // Between fork and exec: system calls only. A failure is said on the merged output, which the
            // start reports when the server does not come up.
            instance.process->setChildProcessModifier([path = QFile::encodeName(hosts)] {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                const auto fail = [](const char* what) {
                    ::write(STDERR_FILENO, what, std::strlen(what));
                    ::_exit(127);
                };
                if (::unshare(CLONE_NEWNS) != 0)
                    fail("unshare(CLONE_NEWNS) refused\n");
                // The bind mount must not reach the test's own namespace.
                if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                    fail("cannot make the mounts private\n");
                // A private network's own hosts file is bound over /etc/hosts already, and deleted: nothing can
                // be mounted on it, so it is taken away (in this namespace only) first.
                ::umount2("/etc/hosts", MNT_DETACH);
                if (::mount(path.constData(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
                    fail("cannot bind the hosts file over /etc/hosts\n");
            });
        }
        instance.process->start(program, arguments);
        if (!instance.process->waitForStarted(kStartTimeoutMs)) {
            m_error = QStringLiteral("%1 did not start: %2").arg(program, instance.process->errorString());
            instance.process.reset();
            return false;
        }
        const QDeadlineTimer deadline(kStartTimeoutMs);
        while (!deadline.hasExpired() && instance.process->state() == QProcess::Running) {
            if (accepts(instance.port))
                return true;
            instance.process->waitForFinished(50);
        }
        const QByteArray output = instance.process->readAll();
        instance.process->kill();
        instance.process->waitForFinished(2000);
        instance.process.reset();
        m_error = QStringLiteral("%1 on port %2 did not come up: %3")
                      .arg(program)
                      .arg(instance.port)
                      .arg(QString::fromLocal8Bit(output));
    }
    return false;
}

QString Socks5Servers::proxyText(int i) const
{
    return QStringLiteral("127.0.0.1:%1").arg(port(i));
}

QString Socks5Servers::farmProxyText(int j) const
{
    // 127.1.0.0 and up: never an address the servers connect out from.
    const int n = j + 1;
    return QStringLiteral("127.%1.%2.%3:%4")
        .arg(1 + (n >> 16) % 254)
        .arg((n >> 8) & 255)
        .arg(n & 255)
        .arg(port(j % count()));
}

void Socks5Servers::stop(int i)
{
    if (i < 0 || i >= count() || !m_instances[size_t(i)].process)
        return;
    QProcess& process = *m_instances[size_t(i)].process;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
    m_instances[size_t(i)].process.reset();
}

} // namespace testsupport
