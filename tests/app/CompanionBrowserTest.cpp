#include "app/InstanceMessages.h"
#include "platform/UnixInstanceChannel.h"
#include "proxy/CompanionHub.h"
#include "proxy/CompanionRegistration.h"
#include "support/CookieSite.h"
#include "support/HeadlessBrowser.h"
#include "support/HostilePeerLimits.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include "ProgramProcess.h"

#include <QDir>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QFileInfo>
#include <QProcess>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>

using testsupport::HeadlessBrowser;
using testsupport::spinUntil;

namespace {

// The machine's own non-loopback address: browsers send requests for loopback addresses direct
// whatever their proxy says, so the site must live elsewhere for the proxy to be used at all.
QString siteAddress()
{
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return {};
}

// The real companion in a real headless browser, its real host, and the program's channel and
// companion hub played by this test; a real tinyproxy as the applied proxy. The browser has no
// desktop proxy settings at all, so only the companion can send its requests through tinyproxy.
class CompanionInBrowser : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        address = siteAddress();
        if (address.isEmpty())
            GTEST_SKIP() << "no non-loopback address to put the site on";
        if (testsupport::HeadlessBrowser::executable(isFirefox() ? testsupport::HeadlessBrowser::Kind::Firefox
                                                                 : testsupport::HeadlessBrowser::Kind::Chromium)
                .isEmpty())
            GTEST_SKIP() << GetParam() << " is not installed";
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(site.listen(address));

        // The host beside a const.dat of its own, so it reaches this test's channel only.
        const QString bin = apptest::builtProgramFolder();
        host = dir.file(QStringLiteral("program/veilport-companion-host"));
        QDir().mkpath(dir.file(QStringLiteral("program")));
        ASSERT_TRUE(apptest::copyFile(bin + QStringLiteral("/veilport-companion-host"), host));
        QFile::setPermissions(host, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QString guid = QUuid::createUuid().toString();
        dir.write(QStringLiteral("program/const.dat"), "[const]\nApp.GUID=" + guid.toUtf8() + "\n");
        ASSERT_TRUE(channel.claim(QStringLiteral("Global\\") + guid));
        channel.serveSessions(WM_COMPANION_SESSION,
                              [this](int fd, const QByteArray& greeting) { hub.adopt(fd, greeting); });
        const CompanionRegistration::Result registered = CompanionRegistration::registerHost(
            host, dir.file(QStringLiteral("home")), dir.file(QStringLiteral("config")));
        ASSERT_TRUE(registered.failed.isEmpty()) << registered.failed.join(' ').toStdString();
        QObject::connect(&hub, &CompanionHub::proxyAnswered, &hub,
                         [this](const QString&, bool ok, const QString&) { answers << ok; });
    }

    bool isFirefox() const { return QString::fromLatin1(GetParam()).startsWith(QStringLiteral("firefox")); }

    void startBrowser()
    {
        using testsupport::HeadlessBrowser;
        browser = std::make_unique<HeadlessBrowser>(
            isFirefox() ? HeadlessBrowser::Kind::Firefox : HeadlessBrowser::Kind::Chromium,
            dir.file(QStringLiteral("home")), dir.file(QStringLiteral("config")));
        QStringList extra;
        if (isFirefox()) {
            ASSERT_TRUE(browser->addFirefoxExtension(apptest::builtProgramFolder() + QStringLiteral("/evport.xpi")));
        } else {
            extra << QStringLiteral("--disable-features=DisableLoadExtensionCommandLineSwitch")
                  << QStringLiteral("--load-extension=") + apptest::builtProgramFolder() +
                         QStringLiteral("/companion-chromium");
        }
        ASSERT_TRUE(browser->start(site.url(), extra));
    }

    int proxiedProbes() const { return int(proxies.log(0).count("/probe")); }
    std::string log() const { return browser ? browser->log() : std::string(); }

    // Waits for count more probes at the site.
    bool moreProbes(int count, int timeoutMs = 20000)
    {
        const int target = site.probes() + count;
        return spinUntil([&] { return site.probes() >= target; }, timeoutMs);
    }

    QString address;
    QString host;
    testsupport::TempDir dir;
    testsupport::TinyproxyFixture proxies;
    testsupport::CookieSite site;
    platform::UnixInstanceChannel channel;
    CompanionHub hub;
    std::unique_ptr<testsupport::HeadlessBrowser> browser;
    QList<bool> answers;
};

} // namespace

TEST_P(CompanionInBrowser, ProxyFollowsTheProgramAndClearingRemovesTheSitesCookie)
{
    startBrowser();
    ASSERT_TRUE(spinUntil([&] { return hub.connectedBrowsers().size() == 1; }, 60000)) << log();
    ASSERT_TRUE(moreProbes(3)) << log();
    EXPECT_EQ(proxiedProbes(), 0);
    EXPECT_TRUE(site.lastHadCookie());

    // Applied: the browser's own requests go through tinyproxy.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_TRUE(spinUntil([&] { return !answers.isEmpty(); }, 10000)) << log();
    EXPECT_TRUE(answers.last());
    ASSERT_TRUE(spinUntil([&] { return proxiedProbes() >= 3; }, 20000)) << log();

    // Cleared: the site's cookie is gone from the browser.
    std::optional<CompanionClearOutcome> outcome;
    hub.clearBrowsingData([&](const CompanionClearOutcome& o) { outcome = o; });
    ASSERT_TRUE(spinUntil([&] { return outcome.has_value(); }, 20000));
    EXPECT_EQ(outcome->cleared.size(), 1) << outcome->failed.join(' ').toStdString();
    ASSERT_TRUE(moreProbes(2));
    EXPECT_FALSE(site.lastHadCookie());

    // Stopped: back to the user's own setting (direct here), with the program still there...
    hub.setProxy(QString());
    ASSERT_TRUE(spinUntil([&] { return answers.size() >= 2; }, 10000));
    moreProbes(2);
    int proxied = proxiedProbes();
    ASSERT_TRUE(moreProbes(3));
    EXPECT_EQ(proxiedProbes(), proxied);

    // ...and when the program goes away while a proxy is applied.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_TRUE(spinUntil([&] { return proxiedProbes() > proxied; }, 20000)) << log();
    hub.closeAll();
    moreProbes(2);
    proxied = proxiedProbes();
    ASSERT_TRUE(moreProbes(3));
    EXPECT_EQ(proxiedProbes(), proxied);
}

// The whole path: the real program in a private home, hiding through the one working tinyproxy of a
// local list service, registers the host at its start; a headless browser's companion connects, the
// browser's own requests go through the proxy, and when the program ends they go direct again.
class CompanionWithProgram : public ::testing::TestWithParam<HeadlessBrowser::Kind>
{
protected:
    void SetUp() override
    {
        address = siteAddress();
        if (address.isEmpty())
            GTEST_SKIP() << "no non-loopback address to put the site on";
        if (HeadlessBrowser::executable(GetParam()).isEmpty())
            GTEST_SKIP() << "the browser is not installed";
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(service.start(
            {{proxies.proxyText(0), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")}}))
            << service.errorText().toStdString();
        ASSERT_TRUE(site.listen(address));

        const QString guid = QUuid::createUuid().toString();
        channelName = QStringLiteral("Global\\") + guid;
        const QString folder = root.file(QStringLiteral("program"));
        program = apptest::installProgramCopy(folder, service.oemDat() + "App.GUID=" + guid.toUtf8() +
                                                          "\nUpdate.NoAutoCheck=1\n");
        ASSERT_FALSE(program.isEmpty());
        const QString host = folder + QStringLiteral("/veilport-companion-host");
        ASSERT_TRUE(
            apptest::copyFile(apptest::builtProgramFolder() + QStringLiteral("/veilport-companion-host"), host));
        QFile::setPermissions(host, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        apptest::makePrivateHome(root);
        root.write(QStringLiteral("config/Veilport/UserFlag.ini"), "[Flag]\r\nAllUsers=0\r\n");
        root.write(QStringLiteral("config/Veilport/Setting.dat"),
                   "[setting]\r\nHiding=1\r\nSETUPFF=0\r\nFirstTimeRun=0\r\n");
        browser = std::make_unique<HeadlessBrowser>(GetParam(), root.file(QStringLiteral("home")),
                                                    root.file(QStringLiteral("config")));
    }

    void TearDown() override
    {
        browser.reset();
        if (copy.state() != QProcess::NotRunning) {
            copy.kill();
            copy.waitForFinished(10000);
        }
    }

    int proxiedProbes() const { return int(proxies.log(0).count("/probe")); }
    std::string traces() const
    {
        return (browser ? browser->log() : std::string()) + "\n--- program\n" +
               root.read(QStringLiteral("program.log")).right(3000).toStdString();
    }

    QString address;
    QString program;
    QString channelName;
    testsupport::TempDir root;
    testsupport::TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    testsupport::CookieSite site;
    QProcess copy;
    std::unique_ptr<HeadlessBrowser> browser;
};

TEST_P(CompanionWithProgram, TheRunningProgramMovesTheBrowsersOwnRequestsAndItsEndGivesThemBack)
{
    copy.setProcessEnvironment(apptest::privateHomeEnvironment(root));
    copy.setProcessChannelMode(QProcess::MergedChannels);
    copy.setStandardOutputFile(root.file(QStringLiteral("program.log")));
    copy.start(program, {});
    ASSERT_TRUE(copy.waitForStarted(10000));
    // Registered at the start, naming the host beside this copy.
    const QString manifest =
        GetParam() == HeadlessBrowser::Kind::Firefox
            ? CompanionRegistration::firefoxManifest(root.file(QStringLiteral("home")))
            : CompanionRegistration::chromiumManifest(root.file(QStringLiteral("config/chromium")));
    ASSERT_TRUE(spinUntil([&] { return QFileInfo::exists(manifest); }, 30000)) << traces();
    EXPECT_TRUE(root.read(QDir(root.path()).relativeFilePath(manifest)).contains("program/veilport-companion-host"));

    QStringList extra;
    if (GetParam() == HeadlessBrowser::Kind::Firefox) {
        ASSERT_TRUE(browser->addFirefoxExtension(apptest::builtProgramFolder() + QStringLiteral("/evport.xpi")));
    } else {
        extra << QStringLiteral("--disable-features=DisableLoadExtensionCommandLineSwitch")
              << QStringLiteral("--load-extension=") + apptest::builtProgramFolder() +
                     QStringLiteral("/companion-chromium");
    }
    ASSERT_TRUE(browser->start(site.url(), extra));
    ASSERT_TRUE(spinUntil([&] { return proxiedProbes() >= 3; }, 60000)) << traces();

    // The program ends (as at logout); its companion gives the browser its own setting back.
    platform::UnixInstanceChannel client;
    ASSERT_TRUE(client.send(channelName, WM_INSTANCE_CLOSE, 0, {}, 5000));
    ASSERT_TRUE(spinUntil([&] { return copy.state() == QProcess::NotRunning; }, 30000)) << traces();
    const int before = site.probes();
    spinUntil([&] { return site.probes() >= before + 2; }, 20000);
    const int proxied = proxiedProbes();
    ASSERT_TRUE(spinUntil([&] { return site.probes() >= before + 5; }, 20000)) << traces();
    EXPECT_EQ(proxiedProbes(), proxied);
}

INSTANTIATE_TEST_SUITE_P(Browsers, CompanionWithProgram,
                         ::testing::Values(HeadlessBrowser::Kind::Chromium, HeadlessBrowser::Kind::Firefox),
                         [](const auto& info) {
                             return info.param == HeadlessBrowser::Kind::Firefox ? "firefox" : "chromium";
                         });

INSTANTIATE_TEST_SUITE_P(Browsers, CompanionInBrowser, ::testing::Values("chromium", "firefox-esr"),
                         [](const auto& info) {
                             return QString::fromLatin1(info.param).remove(QLatin1Char('-')).toStdString();
                         });
