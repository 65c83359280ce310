// The page that shows what sites see, in real headless Chromium and Firefox ESR: loaded from the real list
// service through a real tinyproxy, and directly, with the URL the program opens (the user's own address as
// LocalIP). The verdict is read from the running page once its script has gathered the WebRTC candidates.
#include "support/BrowserRunner.h"
#include "support/ListServiceFixture.h"
#include "support/PageProbe.h"
#include "support/PrivateNetwork.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>

#include <gtest/gtest.h>

#include <iostream>

using testsupport::BrowserLaunch;
using testsupport::BrowserRunner;
using testsupport::PageInspector;
using Browser = testsupport::BrowserLaunch::Browser;

namespace {

// Browsers send requests for loopback addresses and "localhost" direct whatever their proxy says, so the
// service on 127.0.0.1 is reached through the proxy only under a name, which a private /etc/hosts gives it.
const QString kServiceName = QStringLiteral("check.veilport.test");

// Entered before main() starts any thread, so that the browsers (and tinyproxy) the tests start share it.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter({kServiceName});

constexpr int kVerdictTimeoutMs = 30000;

// The user as the list service named them to the program: the browser's own address towards the service.
const QString kLocalIp = QStringLiteral("127.0.0.1");

// What the page settled on.
struct Verdict
{
    QString state;
    QString where;
    QString seen;
    QString webrtc;
    QStringList candidates; // "kind address", as the page lists them
    QString failure;        // why nothing was read

    std::string describe() const
    {
        return QStringLiteral("state=%1 where=\"%2\" seen=%3 webrtc=%4 candidates=[%5] %6")
            .arg(state, where, seen, webrtc, candidates.join(QStringLiteral(", ")), failure)
            .toStdString();
    }
};

const QString kVerdictScript = QStringLiteral(
    "(function () { var v = document.getElementById('verdict'); if (!v) return JSON.stringify({state: 'loading'});"
    " return JSON.stringify({state: v.dataset.state, where: v.dataset.where, seen: v.dataset.seen,"
    " webrtc: v.dataset.webrtc || '', candidates: Array.from(document.querySelectorAll('#candidates li'))"
    ".map(function (li) { return li.dataset.kind + ' ' + li.dataset.address; })}); })()");

// The machine's own addresses a site could learn from WebRTC: every one but loopback.
QStringList machineAddresses()
{
    QStringList out;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (!address.isLoopback())
            out << address.toString().section(QLatin1Char('%'), 0, 0);
    }
    return out;
}

class CheckPageInBrowser : public ::testing::TestWithParam<Browser>
{
protected:
    void SetUp() override
    {
        if (const std::string why = BrowserRunner::whyCannotRun(GetParam(), g_privateNetwork); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(service.start()) << service.errorText().toStdString();
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
    }

    // The address the program opens (its query string, the page key, the user's own address), at the name.
    QString checkUrl() const
    {
        return QStringLiteral("http://%1:%2/check?&LANG=English&VER=0100&SVER=1&ACTION=CHECK&LocalIP=%3")
            .arg(kServiceName)
            .arg(service.port())
            .arg(kLocalIp);
    }

    // Opens the page in the browser, through tinyproxy or direct, and waits until its verdict is settled.
    // exposeHostAddresses turns off the browsers' own hiding of host candidates behind mDNS names, as a user
    // may have done, or an older browser does.
    Verdict open(bool throughProxy, bool exposeHostAddresses)
    {
        const Browser browser = GetParam();
        BrowserLaunch launch;
        launch.browser = browser;
        launch.url = checkUrl();
        launch.environment = BrowserRunner::environmentWithoutProxy(root.file(QStringLiteral("home")),
                                                                    root.file(QStringLiteral("home/.config")));
        launch.extraArgs = PageInspector::launchArgs(browser);
        const QString proxy = QStringLiteral("127.0.0.1:%1").arg(proxies.port(0));
        if (browser == Browser::Chromium) {
            if (throughProxy)
                launch.extraArgs << QStringLiteral("--proxy-server=http://") + proxy;
            if (exposeHostAddresses)
                launch.extraArgs << QStringLiteral("--disable-features=WebRtcHideLocalIpsWithMdns");
        } else {
            QByteArray prefs = BrowserRunner::firefoxPrefs();
            if (throughProxy)
                prefs += "user_pref(\"network.proxy.type\", 1);\n"
                         "user_pref(\"network.proxy.http\", \"127.0.0.1\");\n"
                         "user_pref(\"network.proxy.http_port\", " +
                         QByteArray::number(proxies.port(0)) + ");\n";
            if (exposeHostAddresses)
                prefs += "user_pref(\"media.peerconnection.ice.obfuscate_host_addresses\", false);\n";
            launch.profileFiles.append({QStringLiteral("user.js"), prefs});
        }

        Verdict verdict;
        PageInspector page;
        if (!browsers.start(launch) || !page.attach(browser, browsers, kVerdictTimeoutMs)) {
            verdict.failure = page.errorText() + QString::fromUtf8(browsers.output().right(4000));
            return verdict;
        }
        QJsonObject settled;
        testsupport::waitUntil(
            [&] {
                const std::optional<QString> text = page.evaluate(kVerdictScript, 5000);
                settled = text ? QJsonDocument::fromJson(text->toUtf8()).object() : QJsonObject();
                const QString state = settled.value(QStringLiteral("state")).toString();
                return !state.isEmpty() && state != QLatin1String("pending") && state != QLatin1String("loading");
            },
            kVerdictTimeoutMs, 100);
        browsers.stop();
        verdict.state = settled.value(QStringLiteral("state")).toString();
        verdict.where = settled.value(QStringLiteral("where")).toString();
        verdict.seen = settled.value(QStringLiteral("seen")).toString();
        verdict.webrtc = settled.value(QStringLiteral("webrtc")).toString();
        for (const QJsonValue each : settled.value(QStringLiteral("candidates")).toArray())
            verdict.candidates << each.toString();
        if (verdict.state.isEmpty())
            verdict.failure = page.errorText();
        // What WebRTC offered differs between machines; the log says what it was here.
        std::cout << BrowserRunner::name(browser).toStdString() << (throughProxy ? " through tinyproxy" : " direct")
                  << (exposeHostAddresses ? ", host addresses exposed: " : ": ") << verdict.describe() << std::endl;
        return verdict;
    }

    testsupport::TempDir root;
    testsupport::ListServiceFixture service;
    testsupport::TinyproxyFixture proxies;
    BrowserRunner browsers;
};

// Out of the box both browsers name host candidates by mDNS names, which give no address away: behind a
// proxy that does not pass the user's address on, the page calls the user hidden. Without the proxy the
// site sees the user's own address, and the page says so.
TEST_P(CheckPageInBrowser, ThroughAnEliteProxyHiddenAndDirectlyTheOwnAddressShows)
{
    const Verdict hidden = open(true, false);
    ASSERT_EQ(hidden.webrtc, "on") << "WebRTC did not run: " << hidden.describe();
    EXPECT_EQ(hidden.seen, testsupport::TinyproxyFixture::outgoingAddress(0)) << hidden.describe();
    EXPECT_EQ(hidden.state, "hidden") << hidden.describe();
    for (const QString& candidate : hidden.candidates)
        EXPECT_TRUE(candidate.startsWith(QLatin1String("mdns ")) || candidate.startsWith(QLatin1String("loopback ")))
            << hidden.describe();

    const Verdict direct = open(false, false);
    EXPECT_EQ(direct.seen, kLocalIp) << direct.describe();
    EXPECT_EQ(direct.state, "visible") << direct.describe();
    EXPECT_TRUE(direct.where.split(u' ').contains(QStringLiteral("address"))) << direct.describe();
}

// With host addresses exposed, a machine that has an address besides loopback gives it away through WebRTC,
// proxy or not, and the page says where; a machine with loopback alone has nothing to give.
TEST_P(CheckPageInBrowser, ExposedHostCandidatesGiveTheLocalAddressAwayBehindTheProxy)
{
    const QStringList own = machineAddresses();
    const Verdict verdict = open(true, true);
    ASSERT_EQ(verdict.webrtc, "on") << "WebRTC did not run: " << verdict.describe();
    EXPECT_EQ(verdict.seen, testsupport::TinyproxyFixture::outgoingAddress(0)) << verdict.describe();
    QStringList local;
    for (const QString& candidate : verdict.candidates) {
        if (candidate.startsWith(QLatin1String("local ")))
            local << candidate.mid(6);
    }
    if (own.isEmpty()) {
        EXPECT_TRUE(local.isEmpty()) << verdict.describe();
        EXPECT_EQ(verdict.state, "hidden") << verdict.describe();
        return;
    }
    ASSERT_FALSE(local.isEmpty()) << "no host candidate of " << own.join(u' ').toStdString() << ": "
                                  << verdict.describe();
    EXPECT_EQ(verdict.state, "visible") << verdict.describe();
    EXPECT_EQ(verdict.where, "webrtc") << verdict.describe();
    for (const QString& address : local)
        EXPECT_TRUE(own.contains(address) || own.contains(QHostAddress(address).toString())) << verdict.describe();
}

INSTANTIATE_TEST_SUITE_P(Browsers, CheckPageInBrowser, ::testing::Values(Browser::Chromium, Browser::Firefox),
                         [](const auto& info) { return BrowserRunner::name(info.param).toStdString(); });

} // namespace
