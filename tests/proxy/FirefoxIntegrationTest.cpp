#include "proxy/BrowserRoutines.h"
#include "proxy/TBrowserRoutines.h"

#include "config/TSettings.h"
#include "platform/ProcessRunner.h"
#include "support/BrowserTestHome.h"
#include "support/FakeFirefox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

using testsupport::BrowserTestHome;
using testsupport::FakeFirefox;

namespace {

const QString kPage = QStringLiteral("chrome://veilport/content/veilport.xul");

QStringList chrome(const QString& url)
{
    return {QStringLiteral("-silent"), QStringLiteral("-nosplash"), QStringLiteral("-chrome"), url};
}

// Firefox integration in a private home whose PATH holds only what a test puts there.
class FirefoxTest : public ::testing::Test
{
protected:
    FirefoxTest() : path("PATH", QFile::encodeName(home.path(QStringLiteral("bin"))))
    {
        QDir().mkpath(home.path(QStringLiteral("bin")));
        TBrowserRoutines::Platform p;
        p.processes = &processes;
        p.firefoxWaitMs = 10000;
        routines = std::make_unique<TBrowserRoutines>(p);
    }

    QString storedPath() const { return Settings()->ReadString(QStringLiteral("FireFoxPath"), QString()); }
    QString useFake() const
    {
        Settings()->WriteString(QStringLiteral("FireFoxPath"), FakeFirefox::executable());
        return FakeFirefox::executable();
    }

    BrowserTestHome home;
    testsupport::ScopedEnv path;
    platform::LocalProcessRunner processes;
    std::unique_ptr<TBrowserRoutines> routines;
};

} // namespace

TEST(FirefoxCommandLines, AreTheExtensionsChromeCommandsWithTheUrlAsOneArgument)
{
    EXPECT_EQ(TBrowserRoutines::FirefoxSetProxyArgs(QStringLiteral("10.0.0.1:3128")),
              chrome(QStringLiteral("chrome://veilport/content/veilport.xul?ssl=&proxy=10.0.0.1&port=3128")));
    EXPECT_EQ(TBrowserRoutines::FirefoxClearProxyArgs(), chrome(kPage + QStringLiteral("?clear")));
    EXPECT_EQ(TBrowserRoutines::FirefoxClearCookiesArgs(), chrome(kPage + QStringLiteral("?cc")));
    // Host before the first ":", port after it; without ":" the whole text is the port.
    EXPECT_EQ(TBrowserRoutines::FirefoxSetProxyArgs(QStringLiteral("h:1:2")),
              chrome(kPage + QStringLiteral("?ssl=&proxy=h&port=1:2")));
    EXPECT_EQ(TBrowserRoutines::FirefoxSetProxyArgs(QStringLiteral("8080")),
              chrome(kPage + QStringLiteral("?ssl=&proxy=&port=8080")));
}

TEST_F(FirefoxTest, SettingAndClearingStartFirefoxWithTheExactCommandAndWait)
{
    FakeFirefox fake;
    useFake();
    routines->SetFirefoxProxy(QStringLiteral("10.0.0.1:3128"));
    // Waited for: the start is recorded by the time the call returns.
    ASSERT_EQ(fake.invocations().size(), 1);
    routines->SetFirefoxProxy(QString());
    const auto calls = fake.invocations();
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls[0].args, chrome(kPage + QStringLiteral("?ssl=&proxy=10.0.0.1&port=3128")));
    EXPECT_EQ(calls[1].args, chrome(kPage + QStringLiteral("?clear")));
}

TEST_F(FirefoxTest, AProxyTextFromTheServiceCannotAddFirefoxArguments)
{
    FakeFirefox fake;
    useFake();
    const QString hostile = QStringLiteral("-profile /tmp/x \"a b\":80 --remote-debugging-port=1");
    routines->SetFirefoxProxy(hostile);
    const auto calls = fake.invocations();
    ASSERT_EQ(calls.size(), 1);
    ASSERT_EQ(calls[0].args.size(), 4);
    EXPECT_EQ(calls[0].args[3], TBrowserRoutines::FirefoxSetProxyArgs(hostile).at(3));
    EXPECT_TRUE(calls[0].args[3].startsWith(kPage + QStringLiteral("?ssl=&proxy=-profile /tmp/x \"a b\"&port=80")));
}

TEST_F(FirefoxTest, TurnedOffFirefoxReceivesTheClearCommandEvenWhenAProxyIsApplied)
{
    FakeFirefox fake;
    useFake();
    Settings()->WriteBool(QStringLiteral("FF"), false);
    routines->SetFirefoxProxy(QStringLiteral("10.0.0.1:3128"));
    const auto calls = fake.invocations();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].args, chrome(kPage + QStringLiteral("?clear")));
}

TEST_F(FirefoxTest, AFirefoxThatNeverEndsIsEndedAfterTheBound)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    useFake();
    routines->setFirefoxWaitMs(300);
    QElapsedTimer timer;
    timer.start();
    routines->SetFirefoxProxy(QStringLiteral("10.0.0.1:3128"));
    EXPECT_LT(timer.elapsed(), 5000);
    const auto calls = fake.invocations();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_FALSE(testsupport::processIsRunning(calls[0].pid));
}

TEST_F(FirefoxTest, CookiesAndTheExtensionStartFirefoxWithoutWaiting)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    const QString exe = useFake();
    QElapsedTimer timer;
    timer.start();
    routines->ClearFirefoxCookies();
    EXPECT_TRUE(routines->InstallFirefoxExtension());
    EXPECT_LT(timer.elapsed(), 5000);

    auto calls = fake.waitForInvocations(2);
    ASSERT_EQ(calls.size(), 2);
    std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.args.size() > b.args.size(); });
    EXPECT_EQ(calls[0].args, chrome(kPage + QStringLiteral("?cc")));
    EXPECT_EQ(calls[1].args, TBrowserRoutines::FirefoxInstallArgs());
    EXPECT_TRUE(calls[1].args.constFirst().endsWith(QStringLiteral("/evport.xpi")));
    for (const auto& call : calls) {
        EXPECT_TRUE(testsupport::processIsRunning(call.pid)); // not waited for, not ended
        ::kill(static_cast<pid_t>(call.pid), SIGKILL);
    }
}

TEST_F(FirefoxTest, WithoutFirefoxNothingStartsAndInstallingFails)
{
    FakeFirefox fake;
    EXPECT_TRUE(routines->GetFirefoxPath().isEmpty());
    EXPECT_FALSE(routines->IsFirefoxInstalled());
    EXPECT_FALSE(routines->InstallFirefoxExtension());
    routines->SetFirefoxProxy(QStringLiteral("10.0.0.1:3128"));
    routines->ClearFirefoxCookies();
    EXPECT_TRUE(fake.invocations().isEmpty());
    EXPECT_TRUE(storedPath().isEmpty());
}

TEST_F(FirefoxTest, LocatorPrefersTheStoredPathThenFirefoxEsrOverFirefoxAndRemembersIt)
{
    const QString bin = home.path(QStringLiteral("bin"));
    const QString plain = FakeFirefox::installAs(bin, QStringLiteral("firefox"));
    EXPECT_EQ(routines->GetFirefoxPath(), plain);
    EXPECT_EQ(storedPath(), plain);

    // Remembered: a newly installed ESR build does not replace a stored path that still exists.
    const QString esr = FakeFirefox::installAs(bin, QStringLiteral("firefox-esr"));
    EXPECT_EQ(routines->GetFirefoxPath(), plain);

    // Looked up again with both on PATH, the ESR build wins and is stored.
    Settings()->WriteString(QStringLiteral("FireFoxPath"), QString());
    EXPECT_EQ(routines->GetFirefoxPath(), esr);
    EXPECT_EQ(storedPath(), esr);

    // A stored file that is gone is replaced by what PATH offers.
    QFile::remove(esr);
    EXPECT_EQ(routines->GetFirefoxPath(), plain);
    EXPECT_EQ(storedPath(), plain);
}

TEST_F(FirefoxTest, AStoredPathWhoseFileIsGoneStillCountsAsInstalledButStartsNothing)
{
    FakeFirefox fake;
    const QString stale = home.path(QStringLiteral("gone/firefox"));
    Settings()->WriteString(QStringLiteral("FireFoxPath"), stale);
    EXPECT_EQ(routines->GetFirefoxPath(), stale);
    EXPECT_TRUE(routines->IsFirefoxInstalled());
    EXPECT_FALSE(routines->InstallFirefoxExtension());
    routines->SetFirefoxProxy(QStringLiteral("10.0.0.1:3128"));
    routines->ClearFirefoxCookies();
    EXPECT_TRUE(fake.invocations().isEmpty());
}

TEST(FirefoxExtensionPackage, ShipsAsAZipWithAManifest)
{
    const QString source = qEnvironmentVariable("VEILPORT_SOURCE_DIR", QStringLiteral(VEILPORT_SOURCE_ROOT));
    QFile xpi(source + QStringLiteral("/data/evport.xpi"));
    ASSERT_TRUE(xpi.open(QIODevice::ReadOnly));
    const QByteArray bytes = xpi.readAll();
    EXPECT_TRUE(bytes.startsWith("PK\x03\x04"));
    EXPECT_TRUE(bytes.contains("manifest.json"));
}
