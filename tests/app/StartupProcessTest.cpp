// The program as a user meets it: real copies of the executable in a private home, talking to
// each other over the machine-wide instance channel.
#include "platform/UnixInstanceChannel.h"
#include "ProgramProcess.h"
#include "support/TempDir.h"
#include "support/VirtualDisplay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUuid>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kAppId = 4242;
constexpr int kStartTimeoutMs = 60000;
const char* const kShownMarker = "main window shown";
// The test desktop is headless and has no tray: a log-on start waits minimised in the task bar.
const QRegularExpression kShownMinimised(QStringLiteral("main window shown after [0-9]+ ms minimised\n"));
const QRegularExpression kShownNormally(QStringLiteral("main window shown after [0-9]+ ms\n"));

using apptest::copyFile;
using apptest::copyFolder;
using apptest::waitUntil;

// A private installation of the program (its own App.GUID, so it never meets another test's
// copies) with a private home, per-user and all-users folders.
class Startup : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The build puts the program in bin/ beside tests-bin/ when the runner does not say where.
        const QString bin = apptest::builtProgramFolder();
        if (!QFileInfo(bin + QStringLiteral("/veilport")).isExecutable())
            GTEST_SKIP() << "the veilport executable is not built";
        program = root.file(QStringLiteral("program/veilport"));
        QDir().mkpath(root.file(QStringLiteral("program")));
        ASSERT_TRUE(copyFile(bin + QStringLiteral("/veilport"), program));
        QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadOther | QFileDevice::ExeOther);
        copyFolder(bin + QStringLiteral("/res"), root.file(QStringLiteral("program/res")));
        const QString guid = QUuid::createUuid().toString();
        root.write(QStringLiteral("program/const.dat"), "[const]\nApp.ConfigPath=Veilport\nApp.Ver=1.0.0.0\n"
                                                        "App.GUID=" +
                                                            guid.toUtf8() + "\nApp.ID=" + QByteArray::number(kAppId) +
                                                            "\n");
        name = QStringLiteral("Global\\") + guid;
        testsupport::PrivateHome(root.path()).create();
    }

    void TearDown() override
    {
        // Whatever still runs is asked to close, then ended.
        if (!name.isEmpty() && answers())
            send(2027);
        for (auto& [process, text] : m_processes) {
            if (!process->waitForFinished(15000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        waitUntil([this] { return !answers(); }, 15000);
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = testsupport::PrivateHome(root.path()).programEnvironment();
        env.insert(QStringLiteral("VEILPORT_TRACE_STARTUP"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("veilport.app.info=true;veilport.instance.info=true"));
        return env;
    }

    QProcess* launch(const QStringList& args, const QStringList& prefix = {},
                     const QProcessEnvironment& env = QProcessEnvironment())
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env.isEmpty() ? environment() : env);
        // Output goes to a file, not a pipe: a copy started by this one inherits it and must not
        // die of a closed pipe once the test stops reading from its parent.
        const QString log = root.file(QStringLiteral("log-%1.txt").arg(m_processes.size()));
        process->setStandardOutputFile(log);
        process->setStandardErrorFile(log);
        if (prefix.isEmpty())
            process->start(program, args);
        else
            process->start(prefix.front(), prefix.mid(1) + QStringList{program} + args);
        QProcess* raw = process.get();
        m_processes.emplace(std::move(process), log);
        return raw;
    }

    // Everything the process wrote so far.
    QString trace(QProcess* process)
    {
        for (auto& [p, log] : m_processes)
            if (p.get() == process) {
                QFile file(log);
                return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
            }
        return {};
    }

    std::optional<qint32> send(quint32 message, qint32 wParam = 0, int timeoutMs = 10000)
    {
        platform::UnixInstanceChannel client;
        return client.send(name, message, wParam, {}, timeoutMs);
    }

    bool answers() { return send(2135, 0, 3000) == kAppId; }

    bool waitForCopy()
    {
        return waitUntil([this] { return answers(); }, kStartTimeoutMs);
    }

    bool finishes(QProcess* process, int timeoutMs = 30000)
    {
        return waitUntil([process] { return process->state() == QProcess::NotRunning; }, timeoutMs);
    }

    testsupport::TempDir root;
    QString program;
    QString name;

private:
    std::map<std::unique_ptr<QProcess>, QString> m_processes;
};

} // namespace

TEST_F(Startup, ASecondStartEndsAtOnceAndBringsTheFirstCopyForward)
{
    QProcess* first = launch({QStringLiteral("-autorun")});
    ASSERT_TRUE(waitForCopy()) << trace(first).toStdString();
    EXPECT_FALSE(trace(first).contains(kShownNormally));

    QProcess* second = launch({});
    ASSERT_TRUE(finishes(second));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_FALSE(trace(second).contains(kShownMarker));
    // The first copy was asked to bring its window forward.
    EXPECT_TRUE(waitUntil([&] { return trace(first).contains(QStringLiteral("raise requested")); }, 10000))
        << trace(first).toStdString();
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(Startup, ASecondStartHandsOverAFirstArgumentThatIsNoSwitch)
{
    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());
    QProcess* withFile = launch({QStringLiteral("notes.txt"), QStringLiteral("-x")});
    ASSERT_TRUE(finishes(withFile));
    QProcess* withSwitch = launch({QStringLiteral("-x"), QStringLiteral("notes.txt")});
    ASSERT_TRUE(finishes(withSwitch));
    // Each sender waited for the answer, so both messages have been handled by now.
    EXPECT_TRUE(waitUntil([&] { return trace(first).count(QStringLiteral("raise requested")) == 2; }, 10000));
    EXPECT_EQ(trace(first).count(QStringLiteral("copy data of 9 bytes")), 1) << trace(first).toStdString();
    EXPECT_EQ(trace(first).count(QStringLiteral("copy data")), 1);
}

TEST_F(Startup, StopSwitchClosesTheRunningCopyWhichStoresItsQuickSettings)
{
    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());
    QProcess* stopper = launch({QStringLiteral("/S")});
    ASSERT_TRUE(finishes(stopper));
    EXPECT_EQ(stopper->exitCode(), 0);
    EXPECT_FALSE(trace(stopper).contains(kShownMarker));
    ASSERT_TRUE(finishes(first));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_TRUE(trace(first).contains(QStringLiteral("close requested")));
    const QByteArray settings = root.read(QStringLiteral("common/Veilport/Setting.dat"));
    EXPECT_TRUE(settings.contains("Hiding=")) << settings.constData();

    // With nothing running, a stop ends at once and starts nothing.
    QProcess* idle = launch({QStringLiteral("-s")});
    ASSERT_TRUE(finishes(idle));
    EXPECT_FALSE(trace(idle).contains(kShownMarker));
    EXPECT_FALSE(answers());
}

TEST_F(Startup, RestartSwitchReplacesTheRunningCopy)
{
    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());
    QElapsedTimer timer;
    timer.start();
    QProcess* restarter = launch({QStringLiteral("-r")});
    ASSERT_TRUE(finishes(first));
    EXPECT_EQ(first->exitCode(), 0);
    ASSERT_TRUE(waitUntil([&] { return trace(restarter).contains(kShownMarker); }, kStartTimeoutMs))
        << trace(restarter).toStdString();
    EXPECT_GE(timer.elapsed(), 2000); // it paused before taking over
    EXPECT_TRUE(waitForCopy());
    EXPECT_EQ(restarter->state(), QProcess::Running);
}

TEST_F(Startup, AKilledCopyDoesNotBlockTheNextStart)
{
    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());
    first->kill(); // SIGKILL: no chance to clean up
    ASSERT_TRUE(finishes(first));
    QProcess* next = launch({});
    ASSERT_TRUE(waitForCopy());
    EXPECT_TRUE(waitUntil([&] { return trace(next).contains(kShownMarker); }, 10000));
}

TEST_F(Startup, SigtermClosesTheCopyLikeTheEndOfTheSession)
{
    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());
    first->terminate();
    ASSERT_TRUE(finishes(first));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_TRUE(root.read(QStringLiteral("common/Veilport/Setting.dat")).contains("Hiding="));
}

class StartupAutorun : public Startup, public ::testing::WithParamInterface<QStringList>
{
};

TEST_P(StartupAutorun, StartsWithTheWindowOutOfTheWayButReachableWithoutATray)
{
    QProcess* copy = launch(GetParam());
    ASSERT_TRUE(waitForCopy()) << trace(copy).toStdString();
    // Hidden, it could never be opened again on this desktop: it waits minimised instead.
    EXPECT_TRUE(waitUntil([&] { return trace(copy).contains(kShownMinimised); }, 10000)) << trace(copy).toStdString();
    EXPECT_FALSE(trace(copy).contains(kShownNormally));
    EXPECT_EQ(send(2027), 0);
    ASSERT_TRUE(finishes(copy));
    EXPECT_EQ(copy->exitCode(), 0);
}

std::string switchName(const ::testing::TestParamInfo<QStringList>& info)
{
    static const char* const names[] = {"Minus", "SlashUpperCase", "BackslashAfterAFile"};
    return names[info.index % 3];
}

INSTANTIATE_TEST_SUITE_P(EverySwitchCharacter, StartupAutorun,
                         ::testing::Values(QStringList{QStringLiteral("-autorun")},
                                           QStringList{QStringLiteral("/AUTORUN")},
                                           QStringList{QStringLiteral("notes.txt"), QStringLiteral("\\AutoRun")}),
                         switchName);

// On a real X display, a window that the window manager took off the screen (unmapped: minimised or moved
// to another workspace, as Qt is not told) comes back with the next start, as the tray's Open brings it.
TEST_F(Startup, ASecondStartBringsBackAWindowTheWindowManagerUnmapped)
{
    if (!testsupport::VirtualDisplay::toolsInstalled())
        GTEST_SKIP() << "Xvfb or xdotool is not installed (run scripts/setup)";
    testsupport::VirtualDisplay display;
    ASSERT_TRUE(display.start()) << display.errorText().toStdString();
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), display.name());
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    QProcess* first = launch({}, {}, env);
    ASSERT_TRUE(waitForCopy()) << trace(first).toStdString();
    const auto mapped = [&] { return !display.visibleWindows(first->processId()).isEmpty(); };
    ASSERT_TRUE(waitUntil(mapped, 20000)) << trace(first).toStdString();

    ASSERT_TRUE(display.unmapWindows(first->processId())) << display.errorText().toStdString();
    ASSERT_TRUE(waitUntil([&] { return !mapped(); }, 10000));
    QProcess* second = launch({}, {}, env);
    ASSERT_TRUE(finishes(second));
    EXPECT_TRUE(waitUntil(mapped, 10000)) << "the window stayed off the screen\n" << trace(first).toStdString();
}

TEST_F(Startup, JunkOnTheChannelLeavesTheCopyWorking)
{
    QProcess* copy = launch({});
    ASSERT_TRUE(waitForCopy());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = name.toUtf8();
    memcpy(address.sun_path + 1, bytes.constData(), size_t(bytes.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(bytes.size()));
    const QList<QByteArray> junk = {"hello", QByteArray(5000, '\xff'),
                                    QByteArray("VPIM\0\0\x07\xeb\0\0\0\0\x7f\0\0\0", 16), QByteArray("VPIM", 4)};
    for (int round = 0; round < 5; ++round) {
        for (const QByteArray& blob : junk) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
            ::send(fd, blob.constData(), size_t(blob.size()), MSG_NOSIGNAL);
            ::close(fd);
        }
    }
    EXPECT_TRUE(answers());
    EXPECT_EQ(copy->state(), QProcess::Running);
    EXPECT_FALSE(trace(copy).contains(QStringLiteral("close requested")));
    EXPECT_EQ(send(2027), 0);
    ASSERT_TRUE(finishes(copy));
    EXPECT_EQ(copy->exitCode(), 0) << trace(copy).toStdString();
}

TEST_F(Startup, AllUsersRestartStartsANewCopyOnTheChosenFolder)
{
    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/UserFlag.ini")).contains("AllUsers=1"));
    EXPECT_EQ(send(2028, 0), 0);
    ASSERT_TRUE(finishes(first));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/UserFlag.ini")).contains("AllUsers=0"));
    // The new copy was started without being waited for; it takes over after its pause.
    ASSERT_TRUE(waitForCopy()) << trace(first).toStdString();
    EXPECT_TRUE(QFileInfo::exists(root.file(QStringLiteral("config/Veilport/Setting.dat"))));
    EXPECT_EQ(send(2027), 0);
    EXPECT_TRUE(waitUntil([this] { return !answers(); }, 30000));
}

TEST_F(Startup, AnotherUserCanNeitherStartASecondCopyNorCloseTheFirst)
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    const char* const user = "veilport-test";
    if (QProcess::execute(QStringLiteral("id"), {QString::fromLatin1(user)}) != 0)
        QProcess::execute(QStringLiteral("useradd"),
                          {QStringLiteral("--system"), QStringLiteral("--no-create-home"), QStringLiteral("--shell"),
                           QStringLiteral("/usr/sbin/nologin"), QString::fromLatin1(user)});
    QProcess id;
    id.start(QStringLiteral("id"), {QStringLiteral("-u"), QString::fromLatin1(user)});
    id.waitForFinished();
    const QString uid = QString::fromLatin1(id.readAll()).trimmed();
    if (uid.isEmpty())
        GTEST_SKIP() << "could not create a second user";

    QProcess* first = launch({});
    ASSERT_TRUE(waitForCopy());

    // The other user reaches the program through world-readable folders and has a home of its own.
    const auto readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                          QFileDevice::ReadOther | QFileDevice::ExeOther;
    QFile::setPermissions(root.path(), readable);
    QFile::setPermissions(root.file(QStringLiteral("program")), readable);
    const QString otherHome = root.file(QStringLiteral("other"));
    QDir().mkpath(otherHome);
    QProcess::execute(QStringLiteral("chown"), {uid, otherHome});
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("HOME"), otherHome);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), otherHome);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), otherHome);
    env.insert(QStringLiteral("VEILPORT_COMMON_DATA_DIR"), otherHome);
    const QStringList asOther = {setpriv, QStringLiteral("--reuid=") + uid, QStringLiteral("--regid=") + uid,
                                 QStringLiteral("--clear-groups"), QStringLiteral("--")};

    QProcess* stopper = launch({QStringLiteral("-s")}, asOther, env);
    ASSERT_TRUE(finishes(stopper));
    QProcess* secondCopy = launch({}, asOther, env);
    ASSERT_TRUE(finishes(secondCopy));
    EXPECT_FALSE(trace(secondCopy).contains(kShownMarker)) << trace(secondCopy).toStdString();

    EXPECT_TRUE(answers());
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_FALSE(trace(first).contains(QStringLiteral("close requested")));
    EXPECT_TRUE(trace(first).contains(QStringLiteral("refused a connection from another user")));
}
