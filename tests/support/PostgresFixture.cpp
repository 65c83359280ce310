#include "support/PostgresFixture.h"

#include "support/TinyproxyFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The newest installed server's programs (Debian keeps them per major version).
QString serverBinDir()
{
    QDir root(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString bin = root.filePath(*it + QStringLiteral("/bin"));
        if (QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable())
            return bin;
    }
    return QString();
}

} // namespace

PostgresFixture::PostgresFixture() : m_dir(QDir::tempPath() + QStringLiteral("/veilport-pg-XXXXXX")) {}

PostgresFixture::~PostgresFixture()
{
    stop();
}

bool PostgresFixture::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QString exe = m_bin + QLatin1Char('/') + program;
    QStringList args = arguments;
    if (geteuid() == 0) {
        args.prepend(exe);
        args = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")} + args;
        exe = QStringLiteral("runuser");
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(exe, args);
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(p.readAll()).trimmed());
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(2000);
        }
        return false;
    }
    return true;
}

bool PostgresFixture::start()
{
    m_bin = serverBinDir();
    if (m_bin.isEmpty()) {
        m_error = QStringLiteral("PostgreSQL is not installed (Debian: postgresql)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    if (geteuid() == 0) {
        const passwd* user = getpwnam("postgres");
        if (!user || chown(QFile::encodeName(m_dir.path()).constData(), user->pw_uid, user->pw_gid) != 0) {
            m_error = QStringLiteral("the server refuses root and there is no postgres user to run it");
            return false;
        }
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    // Started again after stop(): the same data and port, as a server that comes back.
    const bool made = m_port != 0;
    if (!made &&
        !run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), data, QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-U"),
              QStringLiteral("veilport"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-sync")},
             120000))
        return false;
    if (!made)
        m_port = TinyproxyFixture::freePort();
    const QString options =
        QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off").arg(m_port).arg(m_dir.path());
    if (!run(QStringLiteral("pg_ctl"),
             {QStringLiteral("-D"), data, QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")),
              QStringLiteral("-o"), options, QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
              QStringLiteral("start")},
             90000))
        return false;
    m_running = true;
    return true;
}

void PostgresFixture::stop()
{
    if (!m_running)
        return;
    m_running = false;
    run(QStringLiteral("pg_ctl"),
        {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-m"),
         QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")},
        60000);
}

QString PostgresFixture::url() const
{
    return QStringLiteral("postgresql://veilport@127.0.0.1:%1/postgres").arg(m_port);
}

} // namespace testsupport
