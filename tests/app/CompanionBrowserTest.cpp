#include "app/InstanceMessages.h"
#include "platform/UnixInstanceChannel.h"
#include "browsers/CompanionHub.h"
#include "browsers/CompanionRegistration.h"
#include "platform/CompanionIdentity.h"
#include "support/BrowserRunner.h"
#include "support/CheckPageCandidates.h"
#include "support/CookieSite.h"
#include "support/PrivateNetwork.h"
#include "support/Socks5Servers.h"
#include "support/Wait.h"
#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/PageProbe.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include "ProgramProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

using testsupport::BrowserLaunch;
using testsupport::BrowserRunner;
using testsupport::PageInspector;
using testsupport::waitUntil;
using Browser = testsupport::BrowserLaunch::Browser;

namespace {

// Browsers send requests for loopback addresses and "localhost" direct whatever their proxy says, so the
// site on 127.0.0.1 is reached through the proxy only under a name, which a private /etc/hosts gives it.
const QString kSiteName = QStringLiteral("site.veilport.test");

// Entered before main() starts any thread, so that the browsers (and tinyproxy) the tests start share it and
// reach nothing beyond loopback.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter({kSiteName});

// Why a browser test cannot run here, empty when it can.
std::string missing(Browser browser)
{
    return BrowserRunner::whyCannotRun(browser, g_privateNetwork);
}

// The browser with the built companion loaded, its proxy following no desktop setting, on its page. Chromium
// keeps its profile where its native messaging hosts are looked up ($XDG_CONFIG_HOME/chromium); Firefox finds
// them below $HOME whatever its profile.
BrowserLaunch companionLaunch(Browser browser, const QString& home, const QString& config, const QString& url)
{
    const QString bin = apptest::builtProgramFolder() + QLatin1Char('/');
    BrowserLaunch launch;
    launch.browser = browser;
    launch.url = url;
    launch.environment = BrowserRunner::environmentWithoutProxy(home, config);
    if (browser == Browser::Chromium) {
        launch.profile = config + QStringLiteral("/chromium");
        launch.extension = bin + platform::companion::ChromiumFolder;
    } else {
        launch.extension = bin + platform::companion::FirefoxPackage;
        launch.firefoxExtensionId = platform::companion::FirefoxExtensionId;
    }
    return launch;
}

// A page whose script fetches each of the addresses in turn, with a growing number after it, every 300 ms. One
// request at a time: a browser resolves a request's proxy when it starts it, and requests queued behind others
// would still go the old way long after a change.
QByteArray probingPage(const QByteArrayList& addresses)
{
    QByteArray fetches;
    for (const QByteArray& address : addresses)
        fetches += " await fetch('" + address + "' + n, {mode: 'no-cors', cache: 'no-store'}).catch(() => {});";
    return "<html><body><script>(async () => { for (let n = 0;; ++n) {" + fetches +
           " await new Promise((done) => setTimeout(done, 300)); } })();</script></body></html>";
}

// The real companion in a real headless browser, its real host, and the program's channel and
// companion hub played by this test; a real tinyproxy as the applied proxy. The browser has no
// desktop proxy settings at all, so only the companion can send its requests through tinyproxy.
class CompanionInBrowser : public ::testing::TestWithParam<Browser>
{
protected:
    void SetUp() override
    {
        if (const std::string why = missing(GetParam()); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(site.start());

        QString channelName;
        host = apptest::installCompanionHost(dir, QStringLiteral("program"), channelName);
        ASSERT_FALSE(host.isEmpty());
        ASSERT_TRUE(channel.claim(channelName));
        channel.serveSessions(WM_COMPANION_SESSION,
                              [this](int fd, const QByteArray& greeting) { hub.adopt(fd, greeting); });
        const CompanionRegistration::Result registered = CompanionRegistration::registerHost(
            host, dir.file(QStringLiteral("home")), dir.file(QStringLiteral("config")));
        ASSERT_TRUE(registered.failed.isEmpty()) << registered.failed.join(' ').toStdString();
        QObject::connect(&hub, &CompanionHub::proxyAnswered, &hub,
                         [this](const QString&, bool ok, const QString&) { answers << ok; });
    }

    // The browser with the companion on url (the cookie site when empty), once its companion has connected.
    void startBrowser(const QString& url = QString())
    {
        ASSERT_TRUE(
            browser.start(companionLaunch(GetParam(), dir.file(QStringLiteral("home")),
                                          dir.file(QStringLiteral("config")), url.isEmpty() ? site.url() : url)))
            << log();
        ASSERT_TRUE(waitUntil([&] { return hub.connectedBrowsers().size() == 1; }, 60000)) << log();
    }

    int proxiedProbes() const { return site.proxiedProbes(); }
    std::string log() const { return browser.output().right(3000).toStdString(); }

    // Waits for count more probes at the site.
    bool moreProbes(int count, int timeoutMs = 20000)
    {
        const int target = site.probes() + count;
        return waitUntil([&] { return site.probes() >= target; }, timeoutMs);
    }

    QString host;
    testsupport::TempDir dir;
    testsupport::TinyproxyFixture proxies;
    testsupport::CookieSite site{kSiteName};
    platform::UnixInstanceChannel channel;
    CompanionHub hub;
    BrowserRunner browser;
    QList<bool> answers;
};

// What the WebRTC of a page on the list service's check page gathers, in a namespace that also has a network card
// with an address of its own (198.18.0.0/15 is for benchmarks: no one's real address). The browsers' hiding of
// host addresses behind mDNS names is off, as a user may have turned it off, or an older browser has none: the
// card's address shows as a host candidate unless a WebRTC policy keeps it out.
class WebRtcInBrowser : public CompanionInBrowser
{
protected:
    void SetUp() override
    {
        CompanionInBrowser::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(testsupport::PrivateNetwork::addNetworkCard(kCard, kCardAddress))
            << testsupport::PrivateNetwork::error().toStdString();
        cardAdded = true;
        ASSERT_TRUE(service.start()) << service.errorText().toStdString();
        QObject::connect(
            &hub, &CompanionHub::webRtcAnswered, &hub,
            [this](const QString&, bool protect, bool ok, const QString&) { webRtcAnswers << (protect && ok); });
    }

    void TearDown() override
    {
        browser.stop();
        if (cardAdded) {
            EXPECT_TRUE(testsupport::PrivateNetwork::removeNetworkCard(kCard))
                << testsupport::PrivateNetwork::error().toStdString();
        }
    }

    // The companion at extension (the built one when empty) in the browser, on the check page, with the page open
    // to the test.
    void startOnCheckPage(const QString& extension = QString())
    {
        BrowserLaunch launch = companionLaunch(GetParam(), dir.file(QStringLiteral("home")),
                                               dir.file(QStringLiteral("config")), checkUrl(0));
        launch.extraArgs = PageInspector::launchArgs(GetParam());
        if (GetParam() == Browser::Chromium) {
            if (!extension.isEmpty())
                launch.extension = extension;
            // Chromium takes the last of repeated switches: the runner's own feature has to be named again.
            launch.extraArgs << QStringLiteral(
                "--disable-features=DisableLoadExtensionCommandLineSwitch,WebRtcHideLocalIpsWithMdns");
        } else {
            // prefs.js, not user.js: the runner's user.js (which lets the companion run) stays.
            launch.profileFiles.append({QStringLiteral("prefs.js"),
                                        "user_pref(\"media.peerconnection.ice.obfuscate_host_addresses\", false);\n"});
            if (!extension.isEmpty()) {
                // An unpacked extension in the profile's extensions folder, under the companion's id.
                const QString folder =
                    QStringLiteral("extensions/") + QString::fromLatin1(platform::companion::FirefoxExtensionId);
                for (const QString& name : QDir(extension).entryList(QDir::Files)) {
                    QFile file(extension + u'/' + name);
                    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
                    launch.profileFiles.append({folder + u'/' + name, file.readAll()});
                }
                launch.extension.clear();
                launch.profileFiles.append({QStringLiteral("user.js"), BrowserRunner::firefoxPrefs() + kUnsignedPrefs});
            }
        }
        ASSERT_TRUE(browser.start(launch)) << log();
        ASSERT_TRUE(page.attach(GetParam(), browser, 60000)) << page.errorText().toStdString();
        ASSERT_TRUE(waitUntil([&] { return hub.connectedBrowsers().size() == 1; }, 60000)) << log();
    }

    QString checkUrl(int round) const
    {
        return QStringLiteral(
                   "http://%1:%2/check?&LANG=English&VER=0100&SVER=1&ACTION=CHECK&LocalIP=127.0.0.1&round=%3")
            .arg(kSiteName)
            .arg(service.port())
            .arg(round);
    }

    // The check page opened anew (its script gathers once, at the load), and the addresses of the host
    // candidates it lists once its verdict is settled; nothing when it did not settle or WebRTC did not run.
    std::optional<QStringList> hostAddresses()
    {
        const int round = ++rounds;
        const QString go = QStringLiteral("location.href = '%1', 'going'").arg(checkUrl(round));
        page.evaluate(go, 5000);
        QElapsedTimer sinceGoing;
        sinceGoing.start();
        const QString script =
            QStringLiteral("(function () { var v = document.getElementById('verdict');"
                           " var round = new URLSearchParams(location.search).get('round');"
                           " if (round !== '%1') return 'elsewhere ' + location.href;"
                           " if (!v || v.dataset.state === 'pending') return 'pending ' + document.readyState;"
                           " return JSON.stringify({webrtc: v.dataset.webrtc, candidates:"
                           " Array.from(document.querySelectorAll('#candidates li')).map(function (li) {"
                           " return li.dataset.kind + ' ' + li.dataset.address; })}); })()")
                .arg(round);
        QJsonObject settled;
        waitUntil(
            [&] {
                const std::optional<QString> text = page.evaluate(script, 5000);
                lastPageState = text.value_or(page.errorText());
                settled = text ? QJsonDocument::fromJson(text->toUtf8()).object() : QJsonObject();
                // A navigation asked for while the browser was still busy with the page before can be lost:
                // the page settles within seconds of loading, so one still elsewhere is asked again.
                if (text && text->startsWith(QLatin1String("elsewhere ")) && sinceGoing.elapsed() > 10000) {
                    page.evaluate(go, 5000);
                    sinceGoing.restart();
                }
                return !settled.isEmpty();
            },
            // A first page in a browser that has just started, on a busy machine, can take this long.
            60000, 100);
        return testsupport::CheckPageHostAddresses(settled);
    }

    // Waits for the next answer to a WebRTC command: whether it protected.
    std::optional<bool> nextWebRtcAnswer()
    {
        const qsizetype seen = webRtcAnswers.size();
        if (!waitUntil([&] { return webRtcAnswers.size() > seen; }, 20000))
            return std::nullopt;
        return webRtcAnswers.last();
    }

    static inline const QString kCard = QStringLiteral("veilport0");
    static inline const QHostAddress kCardAddress{QStringLiteral("198.18.0.1")};
    static constexpr char kUnsignedPrefs[] = "user_pref(\"xpinstall.signatures.required\", false);\n"
                                             "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                                             "user_pref(\"extensions.enabledScopes\", 15);\n";
    bool cardAdded = false;
    int rounds = 0;
    // What the check page last said, for a failure's message.
    QString lastPageState;
    std::string pageLog() const { return "the page said: " + lastPageState.toStdString() + "\n" + log(); }
    testsupport::ListServiceFixture service;
    PageInspector page;
    QList<bool> webRtcAnswers;
};

} // namespace

// WebRTC follows hiding: without the companion's policy a page learns the card's address, while hiding it learns
// none, and it learns it again once hiding stops or the program goes away, as the user's own setting is back.
TEST_P(WebRtcInBrowser, WhileHidingAPageLearnsNoLocalAddressAndAfterwardsTheUsersOwnSettingIsBack)
{
    const QString card = kCardAddress.toString();
    ASSERT_NO_FATAL_FAILURE(startOnCheckPage());
    std::optional<QStringList> seen = hostAddresses();
    ASSERT_TRUE(seen) << "WebRTC did not run: " << pageLog();
    ASSERT_TRUE(seen->contains(card)) << "the card's address is not a candidate here: "
                                      << seen->join(u' ').toStdString();

    hub.setProxy(proxies.proxyText(0));
    ASSERT_EQ(nextWebRtcAnswer(), std::optional<bool>(true)) << log();
    EXPECT_TRUE(hub.webRtcUnprotected().isEmpty()) << hub.webRtcUnprotected().join(u' ').toStdString();
    seen = hostAddresses();
    ASSERT_TRUE(seen) << pageLog();
    EXPECT_TRUE(seen->isEmpty()) << seen->join(u' ').toStdString();

    hub.setProxy(QString());
    ASSERT_EQ(nextWebRtcAnswer(), std::optional<bool>(false)) << log();
    seen = hostAddresses();
    ASSERT_TRUE(seen) << pageLog();
    EXPECT_TRUE(seen->contains(card)) << seen->join(u' ').toStdString();

    // The program goes away while hiding: the companion gives the setting back by itself. The program is not
    // hiding when the companion comes looking for it again.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_EQ(nextWebRtcAnswer(), std::optional<bool>(true)) << log();
    seen = hostAddresses();
    ASSERT_TRUE(seen && seen->isEmpty()) << pageLog();
    hub.closeAll();
    hub.setProxy(QString());
    EXPECT_TRUE(waitUntil(
        [&] {
            seen = hostAddresses();
            return seen && seen->contains(card);
        },
        30000))
        << (seen ? seen->join(u' ').toStdString() : pageLog());
}

// A companion whose browser has not granted it the privacy permission cannot keep WebRTC to the proxy: it says so,
// the hub reports that browser unprotected, and nothing pretends otherwise.
TEST_P(WebRtcInBrowser, ACompanionWithoutThePrivacyPermissionIsReportedUnprotected)
{
    const QString bin = apptest::builtProgramFolder() + QLatin1Char('/');
    const QString copy = dir.file(QStringLiteral("companion-without-privacy"));
    QDir().mkpath(copy);
    const QString source = GetParam() == Browser::Chromium ? bin + platform::companion::ChromiumFolder
                                                           : QString::fromLatin1(VEILPORT_FIREFOX_STAGE);
    QByteArray manifest;
    {
        QFile file(source + QStringLiteral("/manifest.json"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
        manifest = file.readAll();
    }
    ASSERT_TRUE(manifest.contains("\"privacy\", "));
    manifest.replace("\"privacy\", ", "");
    dir.write(QStringLiteral("companion-without-privacy/manifest.json"), manifest);
    ASSERT_TRUE(apptest::copyFile(source + QStringLiteral("/background.js"), copy + QStringLiteral("/background.js")));

    ASSERT_NO_FATAL_FAILURE(startOnCheckPage(copy));
    hub.setProxy(proxies.proxyText(0));
    ASSERT_EQ(nextWebRtcAnswer(), std::optional<bool>(false)) << log();
    const QStringList unprotected = hub.webRtcUnprotected();
    ASSERT_EQ(unprotected.size(), 1);
    EXPECT_TRUE(unprotected.first().endsWith(QLatin1String(": no privacy permission")))
        << unprotected.first().toStdString();
    // The page still learns the card's address: not protected, and not claimed to be.
    const std::optional<QStringList> seen = hostAddresses();
    ASSERT_TRUE(seen) << pageLog();
    EXPECT_TRUE(seen->contains(kCardAddress.toString())) << seen->join(u' ').toStdString();
}

TEST_P(CompanionInBrowser, ProxyFollowsTheProgramAndClearingRemovesTheSitesCookie)
{
    ASSERT_NO_FATAL_FAILURE(startBrowser());
    ASSERT_TRUE(moreProbes(3)) << log();
    EXPECT_EQ(proxiedProbes(), 0);
    EXPECT_TRUE(site.lastHadCookie());

    // Applied: the browser's own requests go through tinyproxy.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_TRUE(waitUntil([&] { return !answers.isEmpty(); }, 10000)) << log();
    EXPECT_TRUE(answers.last());
    ASSERT_TRUE(waitUntil([&] { return proxiedProbes() >= 3; }, 20000)) << log();

    // Cleared: the site's cookie is gone from the browser.
    std::optional<CompanionClearOutcome> outcome;
    hub.clearBrowsingData([&](const CompanionClearOutcome& o) { outcome = o; });
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 20000));
    EXPECT_EQ(outcome->cleared.size(), 1) << outcome->failed.join(' ').toStdString();
    // Probes already on their way may still carry it; the next ones must not.
    EXPECT_TRUE(waitUntil([&] { return site.probes() > 0 && !site.lastHadCookie(); }, 20000));

    // Stopped: back to the user's own setting (direct here), with the program still there...
    hub.setProxy(QString());
    ASSERT_TRUE(waitUntil([&] { return answers.size() >= 2; }, 10000));
    // Probes sent before the change may still arrive through the proxy (a slow machine); once one comes direct,
    // none may go through the proxy again.
    ASSERT_TRUE(waitUntil([&] { return !site.lastWasProxied(); }, 20000)) << log();
    int proxied = proxiedProbes();
    ASSERT_TRUE(moreProbes(3));
    EXPECT_EQ(proxiedProbes(), proxied);

    // ...and when the program goes away while a proxy is applied.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_TRUE(waitUntil([&] { return proxiedProbes() > proxied; }, 20000)) << log();
    hub.closeAll();
    ASSERT_TRUE(waitUntil([&] { return !site.lastWasProxied(); }, 20000)) << log();
    proxied = proxiedProbes();
    ASSERT_TRUE(moreProbes(3));
    EXPECT_EQ(proxiedProbes(), proxied);
}

// The user hides plain pages only: secure pages from a companion's browser go direct, as on the desktop. The
// browser's page asks for a plain probe and then a secure one every 300 ms; it does not trust the secure port's
// certificate and need not, as what counts is who connects: the site's visit log names tinyproxy or the browser.
TEST_P(CompanionInBrowser, WithSecurePagesNotHiddenTheCompanionSendsOnlyPlainPagesThroughTheProxy)
{
    testsupport::LoopbackHttpResponder pages;
    QString certificate;
    QString key;
    QString error;
    ASSERT_TRUE(testsupport::LoopbackHttpResponder::makeCertificate(dir.path(), kSiteName, &certificate, &key, &error))
        << error.toStdString();
    ASSERT_TRUE(pages.listen(1));
    ASSERT_TRUE(pages.listenTls(1, certificate, key));
    const QByteArray secure = QStringLiteral("https://%1:%2/secure?").arg(kSiteName).arg(pages.port(1)).toUtf8();
    pages.setReply(200, probingPage({"/probe?", secure}), "text/html", "Cache-Control: no-store\r\n");
    pages.recordVisits();
    pages.start();
    // Visits since the mark: (secure or plain, through tinyproxy or not).
    const auto count = [&](qsizetype from, bool tls, bool proxied) {
        const QList<testsupport::LoopbackHttpResponder::Visit> visits = pages.visits().mid(from);
        return std::count_if(visits.begin(), visits.end(), [&](const auto& v) {
            return v.tls == tls && !v.peer.isEmpty() && (v.peer == "tinyproxy") == proxied;
        });
    };
    ASSERT_NO_FATAL_FAILURE(startBrowser(QStringLiteral("http://%1:%2/").arg(kSiteName).arg(pages.port(0))));

    // Everything hidden first: the secure probes are tunnelled too, so the test can tell.
    hub.setProxy(proxies.proxyText(0));
    qsizetype mark = pages.visits().size();
    ASSERT_TRUE(waitUntil([&] { return count(mark, true, true) >= 2; }, 30000)) << log();

    CompanionProxyChoice plainOnly;
    plainOnly.https = false;
    hub.setProxy(proxies.proxyText(0), plainOnly);
    // Probes already on their way may still go the old way; once a secure one comes direct, none may be
    // tunnelled again, while plain ones still go through the proxy.
    mark = pages.visits().size();
    ASSERT_TRUE(waitUntil([&] { return count(mark, true, false) >= 1; }, 30000)) << log();
    mark = pages.visits().size();
    const qsizetype tunnelLog = proxies.log(0).size();
    ASSERT_TRUE(waitUntil([&] { return count(mark, true, false) >= 3 && count(mark, false, true) >= 3; }, 30000))
        << log();
    EXPECT_EQ(count(mark, true, true), 0);
    EXPECT_EQ(count(mark, false, false), 0);
    EXPECT_FALSE(proxies.log(0).mid(tunnelLog).contains("CONNECT " + kSiteName.toUtf8()));
}

// A SOCKS5 proxy through the companion: the browser hands the site's name to the proxy (Firefox's proxyDNS,
// Chromium's socks5 scheme). The name is known only in microsocks's own /etc/hosts, so the page's probes of
// it arrive, from microsocks, only when the browser never looks it up itself.
TEST_P(CompanionInBrowser, ThroughASocks5ProxyTheSitesNameIsResolvedOnTheProxysSideOnly)
{
    const QString proxySideName = QStringLiteral("proxy-side.veilport.test");
    testsupport::Socks5Servers socks;
    ASSERT_TRUE(socks.start(testsupport::Socks5Servers::Microsocks, {proxySideName})) << qPrintable(socks.errorText());
    ASSERT_TRUE(QHostInfo::fromName(proxySideName).addresses().isEmpty()) << "the browser's side knows the name";
    testsupport::LoopbackHttpResponder pages;
    ASSERT_TRUE(pages.listen(2));
    const QByteArray probe = QStringLiteral("http://%1:%2/probe?").arg(proxySideName).arg(pages.port(1)).toUtf8();
    pages.setReply(200, probingPage({probe}), "text/html", "Cache-Control: no-store\r\n");
    pages.recordVisits();
    pages.start();
    const auto probesThroughSocks = [&] {
        const QList<testsupport::LoopbackHttpResponder::Visit> visits = pages.visits();
        return std::count_if(visits.begin(), visits.end(), [&](const auto& v) {
            return v.port == pages.port(1) && v.peer == "microsocks" && v.request.startsWith("GET /probe?");
        });
    };
    ASSERT_NO_FATAL_FAILURE(startBrowser(QStringLiteral("http://%1:%2/").arg(kSiteName).arg(pages.port(0))));

    hub.setProxy(QStringLiteral("socks5://") + socks.proxyText(0));
    ASSERT_TRUE(waitUntil([&] { return !answers.isEmpty(); }, 10000)) << log();
    EXPECT_TRUE(answers.last()) << "the companion did not say that names go through the proxy";
    EXPECT_TRUE(waitUntil([&] { return probesThroughSocks() >= 3; }, 30000)) << log();
}

// The whole path: the real program in a private home, hiding through the one working tinyproxy of a
// local list service, registers the host at its start; a headless browser's companion connects, the
// browser's own requests go through the proxy, and when the program ends they go direct again.
class CompanionWithProgram : public apptest::ProgramCopiesTest, public ::testing::WithParamInterface<Browser>
{
protected:
    void SetUp() override
    {
        if (const std::string why = missing(GetParam()); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(service.start(
            {{proxies.proxyText(0), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")}}))
            << service.errorText().toStdString();
        ASSERT_TRUE(site.start());
        ASSERT_TRUE(install(service.oemDat()));
        ASSERT_TRUE(apptest::copyExecutable(apptest::builtProgramFolder() + QStringLiteral("/veilport-companion-host"),
                                            root.file(QStringLiteral("program/veilport-companion-host"))));
        apptest::writeHidingWasOn(root);
    }

    void TearDown() override
    {
        browser.stop();
        ProgramCopiesTest::TearDown();
    }

    int proxiedProbes() const { return site.proxiedProbes(); }
    std::string log() const { return browser.output().right(3000).toStdString() + "\n" + traces(); }

    testsupport::TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    testsupport::CookieSite site{kSiteName};
    BrowserRunner browser;
};

TEST_P(CompanionWithProgram, TheRunningProgramMovesTheBrowsersOwnRequestsAndItsEndGivesThemBack)
{
    QProcess* copy = launch();
    // Registered at the start, naming the host beside this copy.
    const QString manifest =
        GetParam() == Browser::Firefox
            ? CompanionRegistration::firefoxManifest(root.file(QStringLiteral("home")))
            : CompanionRegistration::chromiumManifest(root.file(QStringLiteral("config/chromium")));
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(manifest); }, 30000)) << log();
    EXPECT_TRUE(root.read(QDir(root.path()).relativeFilePath(manifest)).contains("program/veilport-companion-host"));

    ASSERT_TRUE(browser.start(companionLaunch(GetParam(), root.file(QStringLiteral("home")),
                                              root.file(QStringLiteral("config")), site.url())))
        << log();
    ASSERT_TRUE(waitUntil([&] { return proxiedProbes() >= 3; }, 60000)) << log();

    // The program ends (as at logout); its companion gives the browser its own setting back.
    ASSERT_TRUE(closeCopy(copy)) << log();
    const int before = site.probes();
    waitUntil([&] { return site.probes() >= before + 2; }, 20000);
    const int proxied = proxiedProbes();
    ASSERT_TRUE(waitUntil([&] { return site.probes() >= before + 5; }, 20000)) << log();
    EXPECT_EQ(proxiedProbes(), proxied);
}

const auto kBrowserName = [](const auto& info) { return BrowserRunner::name(info.param).toLower().toStdString(); };
INSTANTIATE_TEST_SUITE_P(Browsers, CompanionWithProgram, ::testing::Values(Browser::Chromium, Browser::Firefox),
                         kBrowserName);
INSTANTIATE_TEST_SUITE_P(Browsers, CompanionInBrowser, ::testing::Values(Browser::Chromium, Browser::Firefox),
                         kBrowserName);
INSTANTIATE_TEST_SUITE_P(Browsers, WebRtcInBrowser, ::testing::Values(Browser::Chromium, Browser::Firefox),
                         kBrowserName);
