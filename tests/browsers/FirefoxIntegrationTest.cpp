#include "browsers/TBrowserRoutines.h"

#include "config/TSettings.h"
#include "platform/CompanionIdentity.h"
#include "platform/ProcessRunner.h"
#include "browsers/CompanionHub.h"
#include "browsers/TCookieClearReport.h"
#include "support/BrowserTestHome.h"
#include "support/CompanionPeer.h"
#include "support/FakeFirefox.h"
#include "support/Wait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <memory>
#include <optional>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

using testsupport::BrowserTestHome;
using testsupport::FakeFirefox;
using testsupport::waitUntil;

namespace {

// Firefox integration in a private home whose PATH holds only what a test puts there.
class FirefoxTest : public ::testing::Test
{
protected:
    FirefoxTest() : path("PATH", QFile::encodeName(home.path(QStringLiteral("bin"))))
    {
        QDir().mkpath(home.path(QStringLiteral("bin")));
        TBrowserRoutines::Platform p;
        p.settings = Settings();
        p.processes = &processes;
        p.companions = &companions;
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
    CompanionHub companions;
    std::unique_ptr<TBrowserRoutines> routines;
};

} // namespace

// Firefox's companions follow "FF"; the Chromium family's follow the desktop's choice ("IE"), as those
// browsers do by themselves; secure pages go along only while "HideHttps".
TEST_F(FirefoxTest, SettingAndClearingTheProxyStartNoBrowserAndReachEachFamilysCompanionsAsTheOptionsSay)
{
    FakeFirefox fake;
    useFake();
    testsupport::CompanionPeer firefox(companions, R"({"browser":"firefox"})");
    testsupport::CompanionPeer chromium(companions, R"({"browser":"chromium"})");
    const auto next = [](testsupport::CompanionPeer& peer, int timeoutMs = 5000) {
        auto m = peer.next(timeoutMs);
        // WebRTC follows hiding, not these options; the hub's own test covers it.
        while (m && m->value("cmd").toString() == QStringLiteral("setWebRtc"))
            m = peer.next(timeoutMs);
        if (!m)
            return std::string("nothing");
        if (m->value("cmd").toString() != QStringLiteral("setProxy"))
            return m->value("cmd").toString().toStdString();
        return QStringLiteral("setProxy %1:%2 %3")
            .arg(m->value("host").toString())
            .arg(m->value("port").toInt())
            .arg(!m->value("https").isBool()  ? QStringLiteral("https unsaid")
                 : m->value("https").toBool() ? QStringLiteral("with https")
                                              : QStringLiteral("plain only"))
            .toStdString();
    };
    const QString proxy = QStringLiteral("10.0.0.1:3128");

    routines->SetFirefoxProxy(proxy);
    EXPECT_EQ(next(firefox), "setProxy 10.0.0.1:3128 with https");
    EXPECT_EQ(next(chromium), "setProxy 10.0.0.1:3128 with https");
    routines->SetFirefoxProxy(QString());
    EXPECT_EQ(next(firefox), "clearProxy");
    EXPECT_EQ(next(chromium), "clearProxy");

    Settings()->WriteBool(QStringLiteral("FF"), false);
    routines->SetFirefoxProxy(proxy);
    EXPECT_EQ(next(firefox), "clearProxy");
    EXPECT_EQ(next(chromium), "setProxy 10.0.0.1:3128 with https");

    Settings()->WriteBool(QStringLiteral("FF"), true);
    Settings()->WriteBool(QStringLiteral("IE"), false);
    Settings()->WriteBool(QStringLiteral("HideHttps"), false);
    routines->SetFirefoxProxy(proxy);
    EXPECT_EQ(next(firefox), "setProxy 10.0.0.1:3128 plain only");
    EXPECT_EQ(next(chromium), "clearProxy");
    // A companion connecting now gets what its family follows, and nothing when that is its user's own setting.
    testsupport::CompanionPeer lateChromium(companions, R"({"browser":"chromium"})");
    // (What adopting a session sends is already in its socket when adopt returns.)
    EXPECT_EQ(next(lateChromium, 300), "nothing");
    EXPECT_TRUE(fake.invocations().isEmpty());
}

// A running Chromium holds every profile of its folder, and its companion clears only the profile it runs in.
TEST_F(FirefoxTest, ARunningBrowsersProfilesAreReportedUnlessAsManyOfItsCompanionsClearedAsItHasProfiles)
{
    for (const QString& profile : {QStringLiteral("Default"), QStringLiteral("Profile 1")})
        home.dir().write(QStringLiteral("config/chromium/%1/Cookies").arg(profile), "left alone while locked");
    // The lock of a Chromium that runs on this machine: this very process.
    ASSERT_TRUE(QFile::link(QStringLiteral("%1-%2").arg(QHostInfo::localHostName()).arg(::getpid()),
                            home.path(QStringLiteral("config/chromium/SingletonLock"))));

    std::vector<std::unique_ptr<testsupport::CompanionPeer>> companionsOfChromium;
    const auto notCleared = [&] {
        // Shared: a report that comes after a failed round must not land in a finished frame.
        auto report = std::make_shared<std::optional<TCookieClearReport>>();
        routines->ClearBrowserCookies([report](const TCookieClearReport& r) { *report = r; });
        for (const auto& peer : companionsOfChromium) {
            const auto command = peer->next();
            if (!command)
                return std::string("no clearing command");
            peer->send({{"type", "result"}, {"cmd", "clearData"}, {"id", command->value("id")}, {"ok", true}});
        }
        if (!waitUntil([&] { return report->has_value(); }, 10000))
            return std::string("no report");
        EXPECT_EQ((*report)->companionsCleared.size(), qsizetype(companionsOfChromium.size()));
        QStringList profiles = (*report)->profilesSkipped;
        profiles.sort();
        return profiles.join(QStringLiteral("; ")).toStdString();
    };

    companionsOfChromium.push_back(
        std::make_unique<testsupport::CompanionPeer>(companions, R"({"browser":"chromium"})"));
    EXPECT_EQ(notCleared(), "Chromium Default: in use by the running browser; "
                            "Chromium Profile 1: in use by the running browser");
    companionsOfChromium.push_back(
        std::make_unique<testsupport::CompanionPeer>(companions, R"({"browser":"chromium"})"));
    EXPECT_EQ(notCleared(), "");
}

TEST_F(FirefoxTest, InstallingRegistersTheHostAndOpensThePackageWithoutWaiting)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    useFake();
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(routines->InstallFirefoxExtension());
    EXPECT_LT(timer.elapsed(), 5000);
    const auto calls = fake.waitForInvocations(1);
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].args, TBrowserRoutines::FirefoxInstallArgs());
    EXPECT_TRUE(calls[0].args.constFirst().endsWith(QStringLiteral("/evport.xpi")));
    EXPECT_TRUE(testsupport::processIsRunning(calls[0].pid)); // not waited for, not ended
    ::kill(static_cast<pid_t>(calls[0].pid), SIGKILL);
    EXPECT_TRUE(QFileInfo(home.path(QStringLiteral("home/.mozilla/native-messaging-hosts/org.veilport.companion.json")))
                    .isFile());
}

TEST_F(FirefoxTest, WithoutFirefoxOrWithAStoredPathWhoseFileIsGoneNothingStartsAndInstallingFails)
{
    FakeFirefox fake;
    EXPECT_TRUE(routines->GetFirefoxPath().isEmpty());
    EXPECT_FALSE(routines->IsFirefoxInstalled());
    EXPECT_FALSE(routines->InstallFirefoxExtension());
    EXPECT_TRUE(storedPath().isEmpty());

    // A stored path whose file is gone still counts as installed, but starts nothing.
    const QString stale = home.path(QStringLiteral("gone/firefox"));
    Settings()->WriteString(QStringLiteral("FireFoxPath"), stale);
    EXPECT_EQ(routines->GetFirefoxPath(), stale);
    EXPECT_TRUE(routines->IsFirefoxInstalled());
    EXPECT_FALSE(routines->InstallFirefoxExtension());
    EXPECT_TRUE(fake.invocations().isEmpty());
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

TEST(CompanionPackages, BuildIntoAFirefoxZipAndAChromiumFolderWhoseKeyGivesOurId)
{
    const QString bin = QStringLiteral(VEILPORT_BIN_ROOT);
    QFile xpi(bin + QStringLiteral("/evport.xpi"));
    ASSERT_TRUE(xpi.open(QIODevice::ReadOnly));
    const QByteArray bytes = xpi.readAll();
    EXPECT_TRUE(bytes.startsWith("PK\x03\x04"));
    EXPECT_TRUE(bytes.contains("manifest.json"));
    EXPECT_TRUE(bytes.contains("background.js"));

    QFile manifest(bin + QStringLiteral("/companion-chromium/manifest.json"));
    ASSERT_TRUE(manifest.open(QIODevice::ReadOnly));
    const QJsonObject chromium = QJsonDocument::fromJson(manifest.readAll()).object();
    EXPECT_EQ(chromium.value("manifest_version").toInt(), 3);
    // Chromium's id is the first 128 bits of the key's SHA-256, written with the letters a to p.
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromBase64(chromium.value("key").toString().toLatin1()),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(32);
    QString id;
    for (const char c : digest)
        id += QChar(u'a' + QByteArray(1, c).toInt(nullptr, 16));
    EXPECT_EQ(id, QString(platform::companion::ChromiumExtensionId));
    EXPECT_TRUE(QFileInfo(bin + QStringLiteral("/companion-chromium/background.js")).isFile());
}
