// The proxy manager hiding through an exit route (Veilport's own tor) instead of the list's proxies: a stand-in
// for tor whose SOCKS port is a real microsocks and whose check page is a local one in the Tor check's shape.
#include "proxy/TProxyManager.h"

#include "proxy/ProxyListLines.h"
#include "support/RecordingBrowserControl.h"
#include "support/RecordingEngineServices.h"
#include "support/ScriptedExitRoute.h"
#include "support/ScriptedHttpServer.h"
#include "support/Socks5Servers.h"
#include "support/Wait.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

using testsupport::ScriptedHttpServer;
using testsupport::waitUntil;

class ExitRouteHiding : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(socks.start(testsupport::Socks5Servers::Microsocks)) << qPrintable(socks.errorText());
        exitSeenAs("198.51.100.7");
        route = std::make_unique<testsupport::ScriptedExitRoute>(checkPage.url(QStringLiteral("/api/ip")),
                                                                 quint16(socks.port(0)));
        manager = std::make_unique<TProxyManager>(browsers, services, QStringLiteral("http://127.0.0.1:1/getip.php"));
        manager->SetExitRoute(route.get());
        manager->SwitchExitRoute(true);
        manager->SetLeakCheck(true, 3600 * 1000);
        manager->ChooseCountry(kAutoSelected);
        manager->TakeProxyList(ProxyListLines::fromText(
            QStringLiteral("LocalIP=192.0.2.1\r\nLocalCountry=Germany\r\nCountryFlag=\r\nProxyCount=0")));
    }

    void exitSeenAs(const QByteArray& address)
    {
        checkPage.setDefaultReply(ScriptedHttpServer::Reply::http(200, "{\"IsTor\":true,\"IP\":\"" + address + "\"}"));
    }

    QString seenAt(const QSignalSpy& verified, qsizetype i) const { return verified.at(i).at(1).toString(); }

    testsupport::Socks5Servers socks;
    ScriptedHttpServer checkPage;
    testsupport::RecordingBrowserControl browsers;
    testsupport::RecordingEngineServices services;
    std::unique_ptr<testsupport::ScriptedExitRoute> route;
    std::unique_ptr<TProxyManager> manager;
};

} // namespace

TEST_F(ExitRouteHiding, AChangeAsksForNewIdentitiesUntilSitesSeeAnotherAddressAndAFailedCheckAsksToo)
{
    manager->SwitchClearCookiesOnChange(true);
    manager->SetChangeInterval(5);
    QSignalSpy verified(manager.get(), &TProxyManager::proxyVerified);
    manager->StartHide();
    route->finishBootstrap();
    ASSERT_TRUE(verified.wait(10000));
    EXPECT_EQ(seenAt(verified, 0), QStringLiteral("198.51.100.7"));
    EXPECT_EQ(verified.at(0).at(0).value<TProxyRec>().Country, QStringLiteral("Germany"));
    const QString port = QStringLiteral("socks5://127.0.0.1:%1").arg(socks.port(0));
    EXPECT_EQ(browsers.appliedProxies(), QStringList{port});
    browsers.calls.clear();

    // tor's first new identity leaves the exit where it was; only the second moves it.
    route->beforeIdentity = [this](int request) {
        if (request == 2)
            exitSeenAs("203.0.113.9");
    };
    manager->ChangeIP();
    ASSERT_TRUE(waitUntil([&] { return verified.size() == 2; }, 10000)) << route->identityRequests;
    EXPECT_EQ(seenAt(verified, 1), QStringLiteral("203.0.113.9"));
    EXPECT_EQ(route->identityRequests, 2);
    EXPECT_EQ(checkPage.requestCount(), 3);
    // Cookies go once per change, and the browsers keep the port.
    EXPECT_EQ(browsers.calls, (QStringList{QStringLiteral("ClearIE"), QStringLiteral("ClearFirefox")}));

    // A check that sees the user's own address fails; the manager asks tor for another circuit and checks again.
    QSignalSpy failed(manager.get(), &TProxyManager::proxyCheckFailed);
    exitSeenAs("192.0.2.1");
    route->beforeIdentity = [this](int) { exitSeenAs("203.0.113.10"); };
    manager->CheckCurrentProxy();
    ASSERT_TRUE(waitUntil([&] { return verified.size() == 3; }, 10000));
    EXPECT_EQ(failed.size(), 1);
    EXPECT_EQ(route->identityRequests, 3);
    EXPECT_EQ(seenAt(verified, 2), QStringLiteral("203.0.113.10"));
    EXPECT_TRUE(manager->Active());
    EXPECT_EQ(browsers.calls, (QStringList{QStringLiteral("ClearIE"), QStringLiteral("ClearFirefox")}));

    manager->StopHide();
    EXPECT_FALSE(route->running);
    EXPECT_EQ(browsers.calls.last(), QStringLiteral("Opera:"));
}
