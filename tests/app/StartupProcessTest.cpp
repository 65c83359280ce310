// The program as a user meets it: real copies of the executable in a private home, talking to
// each other over the machine-wide instance channel.
#include "ProgramProcess.h"
#include "support/ProcessTree.h"
#include "support/VirtualDisplay.h"

#include <QElapsedTimer>

#include <csignal>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

constexpr int kStartTimeoutMs = 60000;
const char* const kShownMarker = "main window shown";
// The test desktop is headless and has no tray: a log-on start waits minimised in the task bar.
const QRegularExpression kShownMinimised(QStringLiteral("main window shown after [0-9]+ ms minimised\n"));
const QRegularExpression kShownNormally(QStringLiteral("main window shown after [0-9]+ ms\n"));

using apptest::waitUntil;

// A private installation of the program (its own instance identity, so it never meets another test's
// copies, and no service to fetch from) with a private home, per-user and all-users folders.
class Startup : public apptest::ProgramCopiesTest
{
protected:
    void SetUp() override
    {
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
        ASSERT_TRUE(install("[const]\n"));
        root.write(QStringLiteral("program/const.dat"), "[const]\nApp.ConfigPath=Veilport\nApp.Ver=1.0.0.0\n");
    }

    QProcessEnvironment environment() const override
    {
        QProcessEnvironment env = ProgramCopiesTest::environment();
        env.insert(QStringLiteral("VEILPORT_TRACE_STARTUP"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("veilport.app.info=true;veilport.instance.info=true"));
        return env;
    }

    bool waitForCopy()
    {
        return waitUntil([this] { return answers(); }, kStartTimeoutMs);
    }
};

} // namespace

TEST_F(Startup, ASecondStartEndsAtOnceBringsTheFirstCopyForwardAndHandsOverAFirstArgumentThatIsNoSwitch)
{
    QProcess* first = launch({QStringLiteral("-autorun")});
    ASSERT_TRUE(waitForCopy()) << trace(first).toStdString();
    EXPECT_FALSE(trace(first).contains(kShownNormally));

    // A plain start, one with a file name first, and one with a switch first.
    for (const QStringList& args : {QStringList{}, QStringList{QStringLiteral("notes.txt"), QStringLiteral("-x")},
                                    QStringList{QStringLiteral("-x"), QStringLiteral("notes.txt")}}) {
        QProcess* second = launch(args);
        ASSERT_TRUE(finishes(second));
        EXPECT_EQ(second->exitCode(), 0);
        EXPECT_FALSE(trace(second).contains(kShownMarker)) << args.join(u' ').toStdString();
    }
    // Each sender waited for the answer, so every message has been handled by now: the first copy was asked
    // each time to bring its window forward, and was handed the file name alone.
    EXPECT_TRUE(waitUntil([&] { return trace(first).count(QStringLiteral("raise requested")) == 3; }, 10000))
        << trace(first).toStdString();
    EXPECT_EQ(trace(first).count(QStringLiteral("copy data of 9 bytes")), 1) << trace(first).toStdString();
    EXPECT_EQ(trace(first).count(QStringLiteral("copy data")), 1);
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(Startup, StopSwitchClosesTheRunningCopyWhichStoresItsQuickSettings)
{
    QProcess* first = launch();
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
    QProcess* first = launch();
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

TEST_F(Startup, SigtermClosesTheCopyLikeTheEndOfTheSession)
{
    QProcess* first = launch();
    ASSERT_TRUE(waitForCopy());
    first->terminate();
    ASSERT_TRUE(finishes(first));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_TRUE(root.read(QStringLiteral("common/Veilport/Setting.dat")).contains("Hiding="));
}

// Autorun's own switch character, after a file name; the other switch characters are the parser's business.
TEST_F(Startup, AutorunStartsWithTheWindowOutOfTheWayButReachableWithoutATray)
{
    QProcess* copy = launch({QStringLiteral("notes.txt"), QStringLiteral("\\AutoRun")});
    ASSERT_TRUE(waitForCopy()) << trace(copy).toStdString();
    // Hidden, it could never be opened again on this desktop: it waits minimised instead.
    EXPECT_TRUE(waitUntil([&] { return trace(copy).contains(kShownMinimised); }, 10000)) << trace(copy).toStdString();
    EXPECT_FALSE(trace(copy).contains(kShownNormally));
    EXPECT_EQ(send(kInstanceClose), 0);
    ASSERT_TRUE(finishes(copy));
    EXPECT_EQ(copy->exitCode(), 0);
}

// On a real X display, a window that the window manager took off the screen (unmapped: minimised or moved
// to another workspace, as Qt is not told) comes back with the next start, as the tray's Open brings it. Its
// info page is shown by the helper process, and by the program itself once the helper has crashed.
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
    QProcess* first = launch(env);
    ASSERT_TRUE(waitForCopy()) << trace(first).toStdString();
    const auto mapped = [&] { return !display.visibleWindows(first->processId()).isEmpty(); };
    ASSERT_TRUE(waitUntil(mapped, 20000)) << trace(first).toStdString();
    // The info page is the helper's; one that crashes leaves the page to the program itself.
    const auto pageHelper = [&] {
        for (qint64 pid : testsupport::descendantProcesses(first->processId()))
            if (testsupport::processCommandLine(pid).endsWith("/veilport-infopage"))
                return pid;
        return qint64(0);
    };
    ASSERT_TRUE(waitUntil([&] { return pageHelper() != 0; }, 20000)) << trace(first).toStdString();
    ::kill(pid_t(pageHelper()), SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return pageHelper() == 0 && testsupport::webEnginePageProcesses() > 0; }, 20000))
        << trace(first).toStdString();

    ASSERT_TRUE(display.unmapWindows(first->processId())) << display.errorText().toStdString();
    ASSERT_TRUE(waitUntil([&] { return !mapped(); }, 10000));
    QProcess* second = launch(env);
    ASSERT_TRUE(finishes(second));
    EXPECT_TRUE(waitUntil(mapped, 10000)) << "the window stayed off the screen\n" << trace(first).toStdString();
}

TEST_F(Startup, AllUsersRestartStartsANewCopyOnTheChosenFolder)
{
    QProcess* first = launch();
    ASSERT_TRUE(waitForCopy());
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/UserFlag.ini")).contains("AllUsers=1"));
    EXPECT_EQ(send(2028), 0);
    ASSERT_TRUE(finishes(first));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/UserFlag.ini")).contains("AllUsers=0"));
    // The new copy was started without being waited for; it takes over after its pause.
    ASSERT_TRUE(waitForCopy()) << trace(first).toStdString();
    EXPECT_TRUE(QFileInfo::exists(root.file(QStringLiteral("config/Veilport/Setting.dat"))));
    EXPECT_EQ(send(2027), 0);
    EXPECT_TRUE(waitUntil([this] { return !answers(); }, 30000));
}
