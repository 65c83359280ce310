#include "support/TinyproxyFixture.h"

#include "support/EndsWithParent.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kPortAttempts = 5;

bool acceptsConnections(int port)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    const bool ok = s.waitForConnected(200);
    s.abort();
    return ok;
}

} // namespace

TinyproxyFixture::TinyproxyFixture() : m_dir(QDir::tempPath() + "/veilport-tinyproxy-XXXXXX") {}

TinyproxyFixture::~TinyproxyFixture()
{
    stopAll();
}

int TinyproxyFixture::freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QString TinyproxyFixture::deadProxyText()
{
    return QStringLiteral("127.0.0.1:%1").arg(freePort());
}

bool TinyproxyFixture::start(int count)
{
    m_error.clear();
    if (QStandardPaths::findExecutable(QStringLiteral("tinyproxy")).isEmpty()) {
        m_error = QStringLiteral("tinyproxy is not installed (run scripts/setup)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        auto inst = std::make_shared<Instance>();
        if (!startOne(*inst, static_cast<int>(m_instances.size())))
            return false;
        m_instances.append(inst);
    }
    return true;
}

QString TinyproxyFixture::outgoingAddress(int i)
{
    return QStringLiteral("127.0.0.%1").arg(2 + i % 250);
}

bool TinyproxyFixture::startOne(Instance& inst, int number)
{
    inst.folder = m_dir.filePath(QStringLiteral("proxy%1").arg(number));
    QDir().mkpath(inst.folder);
    // The port is chosen free and handed to tinyproxy, which cannot report an ephemeral one; another
    // process may take it in between, so a failed start is retried on a fresh port.
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        inst.port = freePort();
        const QString conf = inst.folder + "/tinyproxy.conf";
        const QString logFile = inst.folder + "/tinyproxy.log";
        QFile::remove(logFile);
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_error = QStringLiteral("cannot write ") + conf;
            return false;
        }
        f.write(QStringLiteral("Port %1\n"
                               "Listen 127.0.0.1\n"
                               "Timeout 30\n"
                               "MaxClients 100\n"
                               "Allow 127.0.0.1\n"
                               "DisableViaHeader Yes\n"
                               "Bind %4\n"
                               "LogLevel Info\n"
                               "LogFile \"%2\"\n"
                               "PidFile \"%3\"\n")
                    .arg(inst.port)
                    .arg(logFile, inst.folder + "/tinyproxy.pid", outgoingAddress(number))
                    .toUtf8());
        for (const QString& line : std::as_const(m_extraConfig))
            f.write(line.toUtf8() + '\n');
        f.close();

        inst.process = std::make_unique<QProcess>();
        inst.process->setProcessChannelMode(QProcess::MergedChannels);
        testsupport::EndsWithParent(*inst.process);
        inst.process->start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), conf});
        if (!inst.process->waitForStarted(kStartTimeoutMs)) {
            m_error = QStringLiteral("tinyproxy did not start: ") + inst.process->errorString();
            inst.process.reset();
            return false;
        }
        const QDeadlineTimer deadline(kStartTimeoutMs);
        while (!deadline.hasExpired() && inst.process->state() == QProcess::Running) {
            if (acceptsConnections(inst.port))
                return true;
            inst.process->waitForFinished(50);
        }
        const QByteArray out = inst.process->readAll();
        inst.process->kill();
        inst.process->waitForFinished(2000);
        m_error =
            QStringLiteral("tinyproxy on port %1 did not come up: %2").arg(inst.port).arg(QString::fromLocal8Bit(out));
        inst.process.reset();
    }
    return false;
}

int TinyproxyFixture::port(int i) const
{
    return (i >= 0 && i < m_instances.size()) ? m_instances[i]->port : 0;
}

QString TinyproxyFixture::proxyText(int i) const
{
    return QStringLiteral("127.0.0.1:%1").arg(port(i));
}

QStringList TinyproxyFixture::proxyTexts() const
{
    QStringList list;
    for (int i = 0; i < m_instances.size(); ++i)
        list << proxyText(i);
    return list;
}

void TinyproxyFixture::stop(int i)
{
    if (i < 0 || i >= m_instances.size() || !m_instances[i]->process)
        return;
    QProcess& p = *m_instances[i]->process;
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    }
    m_instances[i]->process.reset();
}

void TinyproxyFixture::stopAll()
{
    for (int i = 0; i < m_instances.size(); ++i)
        stop(i);
}

bool TinyproxyFixture::isRunning(int i) const
{
    return i >= 0 && i < m_instances.size() && m_instances[i]->process &&
           m_instances[i]->process->state() == QProcess::Running;
}

QByteArray TinyproxyFixture::log(int i) const
{
    if (i < 0 || i >= m_instances.size())
        return {};
    QFile f(m_instances[i]->folder + "/tinyproxy.log");
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace testsupport
