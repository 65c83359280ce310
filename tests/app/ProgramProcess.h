#pragma once

// Helpers for tests that run real copies of the program in a private installation and home.
#include "platform/UnixInstanceChannel.h"
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

// Copies the built program and the data it reads beside itself (const.dat, langs/, res/, skins/)
// into folder, with the given oem.dat; returns the path of the copied executable.
inline QString installProgramCopy(const QString& folder, const QByteArray& oemDat)
{
    const QString bin = builtProgramFolder();
    const QString program = folder + QStringLiteral("/veilport");
    QDir().mkpath(folder);
    if (!copyFile(bin + QStringLiteral("/veilport"), program) ||
        !copyFile(bin + QStringLiteral("/const.dat"), folder + QStringLiteral("/const.dat")))
        return QString();
    for (const char* data : {"langs", "res", "skins"})
        copyFolder(bin + u'/' + QLatin1String(data), folder + u'/' + QLatin1String(data));
    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
    }

    // Installs the private copy and home; false when the copy could not be made.
    bool install(const QByteArray& serviceOemDat)
    {
        return installPrivateProgram(root, serviceOemDat, program, channelName);
    }

    QProcess* launch(const QStringList& args = {})
    {
        return launch(testsupport::PrivateHome(root.path()).programEnvironment(), args);
    }
    // executable empty: the installed copy itself; else another program that runs it (a tool beside it).
    QProcess* launch(const QProcessEnvironment& environment, const QStringList& args = {},
                     const QString& executable = QString())
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        const QString log = root.file(QStringLiteral("log-%1.txt").arg(m_processes.size()));
        process->setStandardOutputFile(log);
        process->setStandardErrorFile(log);
        process->start(executable.isEmpty() ? program : executable, args);
        m_logs.push_back(log);
        m_processes.push_back(std::move(process));
        return m_processes.back().get();
    }

    std::optional<qint32> send(quint32 message, int timeoutMs)
    {
        platform::UnixInstanceChannel client;
        return client.send(channelName, message, 0, {}, timeoutMs);
    }

    bool answers() { return send(kInstanceQueryId, 2000).has_value(); }

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
