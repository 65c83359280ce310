#include "app/InstanceMessages.h"
#include "platform/UnixInstanceChannel.h"
#include "proxy/CompanionHub.h"
#include "proxy/CompanionRegistration.h"
#include "support/CookieSite.h"
#include "support/HeadlessBrowser.h"
#include "support/HostilePeerLimits.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include "ProgramProcess.h"

#include <QDir>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>

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

INSTANTIATE_TEST_SUITE_P(Browsers, CompanionInBrowser, ::testing::Values("chromium", "firefox-esr"),
                         [](const auto& info) {
                             return QString::fromLatin1(info.param).remove(QLatin1Char('-')).toStdString();
                         });
