// The hiding workflow as a user meets it: the real program in a private home, fed by the local
// list service whose pool holds a real tinyproxy, writing the desktop's proxy settings into a
// GSettings keyfile that the tests read back.
#include "ProgramProcess.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

using apptest::waitUntil;

constexpr int kHideTimeoutMs = 40000;

// A private installation pointed at a local list service whose pool offers one working tinyproxy,
// with a home whose settings say that hiding was on.
class HidingEndToEnd : public apptest::ProgramCopiesTest
{
protected:
    void SetUp() override
    {
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(service.start({workingEntry()})) << service.errorText().toStdString();

        ASSERT_TRUE(install(service.oemDat()));
        apptest::writeHidingWasOn(root);
        keyfile = root.file(QStringLiteral("config/glib-2.0/settings/keyfile"));
    }

    testsupport::ListServiceEntry workingEntry() const
    {
        return {proxies.proxyText(0), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")};
    }

    apptest::DesktopProxy desktop() const { return apptest::readDesktopProxy(keyfile); }

    bool desktopIs(const QString& mode) const { return desktop().mode == mode; }

    // Starts a copy and waits until it has pointed the desktop at the working proxy.
    QProcess* startHiding()
    {
        QProcess* copy = launch();
        if (!waitUntil([this] { return desktopIs(QStringLiteral("manual")); }, kHideTimeoutMs))
            return nullptr;
        return copy;
    }

    testsupport::TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    QString keyfile;
};

} // namespace

TEST_F(HidingEndToEnd, HidingPicksTheWorkingProxyAndAfterTheStopSwitchTheNextStartClearsTheDesktopAndHidesAgain)
{
    // A dead proxy of the same country comes first, so picking the first record is not enough. The next start tests the
    // cached list, the fresh list arrives while that test runs and hands the dead proxy over again: it must never be
    // taken as working.
    service.setPool({{testsupport::TinyproxyFixture::deadProxyText(), QStringLiteral("Canada"), QStringLiteral("-79.4"),
                      QStringLiteral("43.7")},
                     workingEntry()});
    QProcess* first = startHiding();
    ASSERT_NE(first, nullptr) << traces();
    EXPECT_EQ(desktop().host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(desktop().port, proxies.port(0)) << traces();
    // It was chosen after a test fetch from the list service through it.
    EXPECT_TRUE(proxies.log(0).contains("Request (file descriptor") && proxies.log(0).contains(service.host().toUtf8()))
        << proxies.log(0).toStdString();

    QProcess* stopper = launch({QStringLiteral("-s")});
    ASSERT_TRUE(finishes(stopper));
    EXPECT_EQ(stopper->exitCode(), 0);
    ASSERT_TRUE(finishes(first)) << traces();
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/Setting.dat")).contains("Hiding=1"));
    // A close leaves the desktop as it was; only the next start clears it.
    EXPECT_EQ(desktop().mode, QStringLiteral("manual"));
    EXPECT_TRUE(QFileInfo::exists(root.file(QStringLiteral("config/Veilport/proxylist.lst"))));

    launch();
    bool clearedFirst = false;
    const bool hidAgain = waitUntil(
        [&] {
            const QString mode = desktop().mode;
            if (mode == QLatin1String("none"))
                clearedFirst = true;
            return clearedFirst && mode == QLatin1String("manual");
        },
        kHideTimeoutMs);
    EXPECT_TRUE(clearedFirst) << "the desktop never went back to a direct connection\n" << traces();
    ASSERT_TRUE(hidAgain) << traces();
    EXPECT_EQ(desktop().port, proxies.port(0)) << traces();
}

// After a crash (or a log-out, or the stop switch) the desktop stays on the proxy. The log-in entry
// that applying installed runs the program with --restore-desktop: it returns the desktop to direct
// only when no copy runs and the desktop still uses the proxy this copy applied.
TEST_F(HidingEndToEnd, TheLogInGuardReturnsTheDesktopToDirectOnlyWhenNoCopyRunsAndTheProxyIsStillOurs)
{
    QProcess* first = startHiding();
    ASSERT_NE(first, nullptr) << traces();
    const QString entry = root.file(QStringLiteral("config/autostart/Veilport desktop guard.desktop"));
    ASSERT_TRUE(QFileInfo::exists(entry)) << traces();
    QStringList command;
    for (const QByteArray& line :
         root.read(QStringLiteral("config/autostart/Veilport desktop guard.desktop")).split('\n'))
        if (line.startsWith("Exec="))
            command = QProcess::splitCommand(QString::fromUtf8(line.mid(5)));
    ASSERT_EQ(command, QStringList({QFileInfo(program).canonicalFilePath(), QStringLiteral("--restore-desktop")}));
    const auto runGuard = [&] {
        QProcess* guard = launch(command.mid(1));
        return finishes(guard) && guard->exitStatus() == QProcess::NormalExit ? guard->exitCode() : -1;
    };
    const auto setPort = [&](int port) {
        return apptest::setDesktopKey(root, QStringLiteral("org.gnome.system.proxy.http"), QStringLiteral("port"),
                                      QString::number(port));
    };

    // While a copy runs, the desktop is its business.
    EXPECT_EQ(runGuard(), 0) << traces();
    EXPECT_EQ(desktop().mode, QStringLiteral("manual"));

    first->kill(); // SIGKILL: no chance to clean up
    ASSERT_TRUE(finishes(first));
    // The user has pointed the desktop at a proxy of their own since: it is left alone.
    ASSERT_TRUE(setPort(3128));
    EXPECT_EQ(runGuard(), 0) << traces();
    EXPECT_EQ(desktop().mode, QStringLiteral("manual"));
    EXPECT_EQ(desktop().port, 3128);

    ASSERT_TRUE(setPort(proxies.port(0)));
    EXPECT_EQ(runGuard(), 0) << traces();
    EXPECT_EQ(desktop().mode, QStringLiteral("none")) << traces();
    EXPECT_FALSE(QFileInfo::exists(entry)) << "the guard's work is done until the next proxy is applied";
    // The resume rule is the program's own: the next start hides again.
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/Setting.dat")).contains("Hiding=1"));
}
