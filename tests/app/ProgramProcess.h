#pragma once

// Helpers for tests that run real copies of the program in a private installation and home.
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>

#include <functional>

namespace apptest {

// Polls the condition (handling events in between) until it holds or the time is up.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        // Leaves the cores to the program under test between two looks.
        QThread::msleep(5);
    }
    return true;
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

// Creates home/, config/, common/ and runtime/ below root for privateHomeEnvironment().
inline void makePrivateHome(const testsupport::TempDir& root)
{
    for (const char* folder : {"home", "config", "common", "runtime"})
        QDir().mkpath(root.file(QString::fromLatin1(folder)));
    QFile::setPermissions(root.file(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// The environment of a program run in the private home below root: per-user, all-users and
// runtime folders there, the desktop's proxy settings in a GSettings keyfile below config/,
// headless windows, and no proxy inherited from the caller.
inline QProcessEnvironment privateHomeEnvironment(const testsupport::TempDir& root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), root.file(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.file(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.file(QStringLiteral("runtime")));
    env.insert(QStringLiteral("VEILPORT_COMMON_DATA_DIR"), root.file(QStringLiteral("common")));
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(name));
    return env;
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

} // namespace apptest
