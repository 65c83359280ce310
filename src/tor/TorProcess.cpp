#include "tor/TorProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/syscall.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {
constexpr int TerminateGraceMs = 5000;
constexpr int KeptProblems = 6;
constexpr qsizetype MaxLogLine = 4096;
} // namespace

TorProcess::TorProcess(QObject* parent) : QObject(parent)
{
    // tor logs to its standard output; its warnings explain a start that fails.
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardInputFile(QProcess::nullDevice());
    // tor must not hold our sockets, pipes or files open after we close them (a listening socket kept by
    // tor would outlive Veilport). Marking them close-on-exec in the child leaves QProcess's own start-up
    // pipe working, which closing them would not.
    m_process.setChildProcessModifier([] { ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC); });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &TorProcess::readLog);
    connect(&m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        readLog();
        if (m_exitReported)
            return;
        m_exitReported = true;
        emit exited(status == QProcess::NormalExit ? QStringLiteral("exit code %1").arg(code)
                                                   : QStringLiteral("ended by a signal"));
    });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || m_exitReported)
            return;
        m_exitReported = true;
        emit exited(QStringLiteral("could not be started: %1").arg(m_process.errorString()));
    });
}

TorProcess::~TorProcess()
{
    m_process.disconnect(this);
    if (isRunning()) {
        m_process.kill();
        // A killed process ends at once; this only reaps it.
        m_process.waitForFinished(2000);
    }
}

QStringList TorProcess::configuration(const QString& dataFolder, qint64 ownerPid, const QStringList& extra)
{
    QStringList lines{
        QStringLiteral("DataDirectory ") + dataFolder,
        QStringLiteral("ClientOnly 1"),
        // Loopback only, on ports tor picks, so that no other tor or program on the machine is in the way.
        QStringLiteral("SocksPort 127.0.0.1:auto"),
        QStringLiteral("ControlPort 127.0.0.1:auto"),
        QStringLiteral("ControlPortWriteToFile ") + controlPortFile(dataFolder),
        QStringLiteral("CookieAuthentication 1"),
        QStringLiteral("CookieAuthFile ") + cookieFile(dataFolder),
        // tor polls for this process and ends when it is gone, even when Veilport is killed.
        QStringLiteral("__OwningControllerProcess ") + QString::number(ownerPid),
        QStringLiteral("Log notice stdout"),
        QStringLiteral("AvoidDiskWrites 1"),
    };
    return lines + extra;
}

QString TorProcess::controlPortFile(const QString& dataFolder)
{
    return dataFolder + QStringLiteral("/control-port");
}

QString TorProcess::cookieFile(const QString& dataFolder)
{
    return dataFolder + QStringLiteral("/control_auth_cookie");
}

quint16 TorProcess::readControlPortFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.read(256).trimmed();
    const QByteArray prefix = "PORT=127.0.0.1:";
    if (!text.startsWith(prefix))
        return 0;
    bool ok = false;
    const uint port = text.mid(prefix.size()).toUInt(&ok);
    return ok && port > 0 && port < 65536 ? quint16(port) : 0;
}

bool TorProcess::start(const QString& program, const QString& dataFolder, const QStringList& extra, QString* error)
{
    const QFileInfo info(program);
    if (!info.isFile() || !info.isExecutable()) {
        if (error)
            *error = QStringLiteral("%1 is not an executable program").arg(program);
        return false;
    }
    // The configuration goes on the command line, one option and its value per argument, so that no
    // character of a path needs quoting. The named torrc files do not exist: tor then reads no
    // system-wide configuration (such as /etc/tor/torrc) at all.
    QStringList args{QStringLiteral("--ignore-missing-torrc"), QStringLiteral("-f"),
                     dataFolder + QStringLiteral("/torrc"), QStringLiteral("--defaults-torrc"),
                     dataFolder + QStringLiteral("/torrc-defaults")};
    for (const QString& line : configuration(dataFolder, QCoreApplication::applicationPid(), extra)) {
        const qsizetype space = line.indexOf(u' ');
        args << QStringLiteral("--") + line.left(space) << (space < 0 ? QString() : line.mid(space + 1));
    }
    m_problems.clear();
    m_partialLine.clear();
    m_exitReported = false;
    m_process.start(program, args);
    return true;
}

void TorProcess::terminate()
{
    if (!isRunning())
        return;
    m_process.terminate();
    QTimer::singleShot(TerminateGraceMs, this, [this] { kill(); });
}

void TorProcess::kill()
{
    if (isRunning())
        m_process.kill();
}

void TorProcess::readLog()
{
    m_partialLine += m_process.readAllStandardOutput();
    qsizetype start = 0;
    for (qsizetype end; (end = m_partialLine.indexOf('\n', start)) >= 0; start = end + 1) {
        const QByteArray line = m_partialLine.mid(start, qMin(end - start, MaxLogLine));
        // "Dec 09 23:50:08.000 [warn] Error writing auth cookie ..."
        for (const char* tag : {"[warn] ", "[err] "}) {
            const qsizetype at = line.indexOf(tag);
            if (at >= 0) {
                m_problems << QString::fromUtf8(line.mid(at + qstrlen(tag))).trimmed();
                break;
            }
        }
    }
    m_partialLine.remove(0, start);
    if (m_partialLine.size() > MaxLogLine)
        m_partialLine.clear();
    while (m_problems.size() > KeptProblems)
        m_problems.removeFirst();
}
