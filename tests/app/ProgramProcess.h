#pragma once

// Helpers for tests that run real copies of the program in a private installation and home.
#include "platform/UnixInstanceChannel.h"
#include "support/EndsWithParent.h"
#include "support/PrivateHome.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QUuid>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace apptest {

// Waits as testsupport::waitUntil does, resting between two looks to leave the cores to the program under test.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    return testsupport::waitUntil(condition, timeoutMs, 5);
}

inline bool copyFile(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

// Copies an executable, runnable by its owner only.
inline bool copyExecutable(const QString& from, const QString& to)
{
    return copyFile(from, to) &&
           QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

inline void copyFolder(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    const QDir source(from);
    for (const QFileInfo& entry : source.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry.isDir())
            copyFolder(entry.filePath(), to + u'/' + entry.fileName());
        else
            copyFile(entry.filePath(), to + u'/' + entry.fileName());
    }
}

// The folder of the built program: $VEILPORT_BIN_DIR, else bin/ beside tests-bin/.
inline QString builtProgramFolder()
{
    const QString bin = qEnvironmentVariable("VEILPORT_BIN_DIR");
    return bin.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/../bin") : bin;
}

// Whether the program is built where builtProgramFolder() looks; tests that start it skip otherwise.
inline bool programBuilt()
{
    return QFileInfo(builtProgramFolder() + QStringLiteral("/veilport")).isExecutable();
}

// Copies the built program, its info-page helper and the data it reads beside itself (const.dat, langs/, res/, skins/)
// into folder, with the given oem.dat; returns the path of the copied executable.
inline QString installProgramCopy(const QString& folder, const QByteArray& oemDat)
{
    const QString bin = builtProgramFolder();
    const QString program = folder + QStringLiteral("/veilport");
    QDir().mkpath(folder);
    if (!copyExecutable(bin + QStringLiteral("/veilport"), program) ||
        !copyExecutable(bin + QStringLiteral("/veilport-infopage"), folder + QStringLiteral("/veilport-infopage")) ||
        !copyFile(bin + QStringLiteral("/const.dat"), folder + QStringLiteral("/const.dat")))
        return QString();
    for (const char* data : {"langs", "res", "skins"})
        copyFolder(bin + u'/' + QLatin1String(data), folder + u'/' + QLatin1String(data));
    QFile oem(folder + QStringLiteral("/oem.dat"));
    if (!oem.open(QIODevice::WriteOnly | QIODevice::Truncate) || oem.write(oemDat) != oemDat.size())
        return QString();
    return program;
}

// A copy of the program in program/ below root (see installProgramCopy) with an instance identity of its own,
// so it never meets another copy on the machine, and a private home below root (see testsupport::PrivateHome).
// serviceOemDat points it at a list service; it never looks for updates. Sets program and channelName;
// false when the copy could not be made.
inline bool installPrivateProgram(const testsupport::TempDir& root, const QByteArray& serviceOemDat, QString& program,
                                  QString& channelName)
{
    const QString guid = QUuid::createUuid().toString();
    channelName = QStringLiteral("Global\\") + guid;
    program = installProgramCopy(root.file(QStringLiteral("program")),
                                 serviceOemDat + "App.GUID=" + guid.toUtf8() + "\nUpdate.NoAutoCheck=1\n");
    testsupport::PrivateHome(root.path()).create();
    return !program.isEmpty();
}

// The companion's native messaging host copied into folder beside a const.dat with an instance identity of its
// own, so that it reaches the channel named channelName (set here) and no other copy of the program on the
// machine. Returns the copy's path; empty when it could not be made.
inline QString installCompanionHost(const testsupport::TempDir& dir, const QString& folder, QString& channelName)
{
    const QString host = dir.file(folder + QStringLiteral("/veilport-companion-host"));
    QDir().mkpath(dir.file(folder));
    if (!copyExecutable(builtProgramFolder() + QStringLiteral("/veilport-companion-host"), host))
        return QString();
    const QString guid = QUuid::createUuid().toString();
    dir.write(folder + QStringLiteral("/const.dat"), "[const]\nApp.GUID=" + guid.toUtf8() + "\n");
    channelName = QStringLiteral("Global\\") + guid;
    return host;
}

// Settings of a user who chose per-user settings in the given folder and closed the program last time
// while hiding; extra is more of the [setting] section's lines.
inline void writeHidingWasOn(const testsupport::TempDir& root,
                             const QString& folder = QStringLiteral("config/Veilport"),
                             const QByteArray& extra = QByteArray())
{
    root.write(folder + QStringLiteral("/UserFlag.ini"), "[Flag]\r\nAllUsers=0\r\n");
    root.write(folder + QStringLiteral("/Setting.dat"),
               "[setting]\r\nHiding=1\r\nSETUPFF=0\r\nFirstTimeRun=0\r\n" + extra);
}

// The desktop's proxy settings as GSettings' keyfile backend stores them, quotes removed.
struct DesktopProxy
{
    QString mode;
    QString host;
    int port = 0;
};

inline DesktopProxy readDesktopProxy(const QString& keyfile)
{
    const auto unquote = [](const QString& value) {
        if (value.size() >= 2 && value.startsWith(u'\'') && value.endsWith(u'\''))
            return value.mid(1, value.size() - 2);
        return value;
    };
    DesktopProxy result;
    QFile file(keyfile);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    QString section;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            section = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = unquote(line.mid(eq + 1).trimmed());
        if (section == QLatin1String("system/proxy") && key == QLatin1String("mode"))
            result.mode = value;
        else if (section == QLatin1String("system/proxy/http") && key == QLatin1String("host"))
            result.host = value;
        else if (section == QLatin1String("system/proxy/http") && key == QLatin1String("port"))
            result.port = value.toInt();
    }
    return result;
}

// Sets a key of the desktop's settings in the private home below root with the gsettings tool, as the user's
// own settings dialog would; whether it succeeded.
inline bool setDesktopKey(const testsupport::TempDir& root, const QString& schema, const QString& key,
                          const QString& value)
{
    QProcess gsettings;
    gsettings.setProcessEnvironment(testsupport::PrivateHome(root.path()).programEnvironment());
    gsettings.start(QStringLiteral("gsettings"), {QStringLiteral("set"), schema, key, value});
    return gsettings.waitForFinished(20000) && gsettings.exitStatus() == QProcess::NormalExit &&
           gsettings.exitCode() == 0;
}

// Tests that start copies of a private installation (installPrivateProgram): each copy logs to a file of its
// own below root, and at the end the running copy is asked to close and whatever is left is killed.
class ProgramCopiesTest : public ::testing::Test
{
protected:
    static constexpr quint32 kInstanceClose = 2027;
    static constexpr quint32 kInstanceQueryId = 2135;

    void TearDown() override
    {
        if (!channelName.isEmpty() && answers())
            send(kInstanceClose, 3000);
        for (const auto& process : m_processes) {
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        // A copy that a copy started by itself (a restart) is no child of the test: it is only asked to close.
        if (!channelName.isEmpty())
            waitUntil([this] { return !answers(); }, 15000);
    }

    // Installs the private copy and home; false when the copy could not be made.
    bool install(const QByteArray& serviceOemDat)
    {
        return installPrivateProgram(root, serviceOemDat, program, channelName);
    }

    // The environment the copies start in: the private home's.
    virtual QProcessEnvironment environment() const
    {
        return testsupport::PrivateHome(root.path()).programEnvironment();
    }

    QProcess* launch(const QStringList& args = {}) { return launch(environment(), args); }
    // executable empty: the installed copy itself; else another program that runs it (a tool beside it).
    QProcess* launch(const QProcessEnvironment& environment, const QStringList& args = {},
                     const QString& executable = QString())
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        // Output goes to a file, not a pipe: a copy started by this one inherits it and must not die of a
        // closed pipe once the test stops reading from its parent.
        const QString log = root.file(QStringLiteral("log-%1.txt").arg(m_processes.size()));
        process->setStandardOutputFile(log);
        process->setStandardErrorFile(log);
        testsupport::EndsWithParent(*process);
        process->start(executable.isEmpty() ? program : executable, args);
        m_logs.push_back(log);
        m_processes.push_back(std::move(process));
        return m_processes.back().get();
    }

    std::optional<qint32> send(quint32 message, int timeoutMs = 10000)
    {
        platform::UnixInstanceChannel client;
        return client.send(channelName, message, 0, {}, timeoutMs);
    }

    bool answers() { return send(kInstanceQueryId, 2000).has_value(); }

    static bool finishes(QProcess* process, int timeoutMs = 30000)
    {
        return waitUntil([process] { return process->state() == QProcess::NotRunning; }, timeoutMs);
    }

    // Asks the running copy to close, as a second start with the stop switch would, and waits until it has.
    bool closeCopy(QProcess* copy)
    {
        send(kInstanceClose);
        return finishes(copy);
    }

    // What one copy wrote so far.
    QString trace(const QProcess* process) const
    {
        for (size_t i = 0; i < m_processes.size(); ++i) {
            if (m_processes[i].get() != process)
                continue;
            QFile file(m_logs[i]);
            return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
        }
        return QString();
    }

    // Everything the copies wrote so far, for failure messages.
    std::string traces() const
    {
        QByteArray all;
        for (const QString& log : m_logs) {
            QFile file(log);
            if (file.open(QIODevice::ReadOnly))
                all += "--- " + log.toUtf8() + "\n" + file.readAll();
        }
        return all.toStdString();
    }

    testsupport::TempDir root;
    QString program;
    QString channelName;

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
    std::vector<QString> m_logs;
};

} // namespace apptest
