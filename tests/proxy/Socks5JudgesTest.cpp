// SOCKS5 proxies tested as the program tests every proxy, through real SOCKS5 servers (microsocks and
// danted, each leaving from an address of its own) against the judges a machine can reach: the real list
// service's address check, Debian's real httpbin, and a stand-in answering as the Tor check service does.
#include "proxy/TProxyTester.h"

#include "support/HttpbinJudge.h"
#include "support/ListServiceFixture.h"
#include "support/ScriptedHttpServer.h"
#include "support/Socks5Servers.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QHash>

#include <gtest/gtest.h>

#include <memory>

using testsupport::ScriptedHttpServer;
using testsupport::Socks5Servers;
using testsupport::TinyproxyFixture;
using testsupport::waitUntil;

namespace {

// The user's own address as every judge here sees a direct request.
const QString kUser = QStringLiteral("127.0.0.1");

// Runs one test of each proxy (host:port, kind) against testUrl and returns each one's verdict by its index;
// a failed proxy's verdict has pass false.
QList<ProxyJudgement> TestAll(const QString& testUrl, const QString& tunnelUrl,
                              const QList<QPair<QString, TProxyKind>>& proxies)
{
    TProxyTester tester(testUrl, [](int) { return 0; });
    tester.SetLocalAddress(kUser);
    tester.SetTunnelUrl(tunnelUrl);
    tester.SetTimeoutMs(10000);
    QHash<int, bool> results;
    tester.OnTestResult = [&](bool success, int index, const QString&, const QString&, int, quint32) {
        results.insert(index, success);
    };
    tester.Total = int(proxies.size());
    for (int i = 0; i < proxies.size(); ++i) {
        const qsizetype colon = proxies.at(i).first.lastIndexOf(QLatin1Char(':'));
        tester.TestProxy(i, proxies.at(i).first.left(colon), proxies.at(i).first.mid(colon + 1).toInt(),
                         proxies.at(i).second);
    }
    QList<ProxyJudgement> verdicts(proxies.size());
    if (!waitUntil([&] { return results.size() == proxies.size(); }, 30000))
        return verdicts;
    for (int i = 0; i < proxies.size(); ++i) {
        const qsizetype colon = proxies.at(i).first.lastIndexOf(QLatin1Char(':'));
        if (results.value(i))
            tester.PassVerdict(proxies.at(i).first.left(colon), proxies.at(i).first.mid(colon + 1).toInt(), verdicts[i],
                               proxies.at(i).second);
    }
    return verdicts;
}

class Socks5Judges : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(socks.start(Socks5Servers::Microsocks)) << qPrintable(socks.errorText());
        ASSERT_TRUE(socks.start(Socks5Servers::Dante)) << qPrintable(socks.errorText());
    }

    // Both real servers as SOCKS5 proxies, and the microsocks one once more taken for an HTTP proxy.
    QList<QPair<QString, TProxyKind>> proxies() const
    {
        return {{socks.proxyText(0), TProxyKind::Socks5},
                {socks.proxyText(1), TProxyKind::Socks5},
                {socks.proxyText(0), TProxyKind::Http}};
    }

    void expectBothPassAsElite(const QList<ProxyJudgement>& verdicts) const
    {
        ASSERT_EQ(verdicts.size(), 3);
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(verdicts.at(i).pass) << i << ' ' << qPrintable(verdicts.at(i).reason);
            EXPECT_EQ(verdicts.at(i).anonymity, TAnonymity::Elite) << i;
            EXPECT_EQ(verdicts.at(i).seenAddress, socks.outgoingAddress(i)) << i;
        }
        EXPECT_FALSE(verdicts.at(2).pass) << "a SOCKS5 server speaks no HTTP";
    }

    Socks5Servers socks;
};

} // namespace

TEST_F(Socks5Judges, RealServersPassTheListServicesCheckAndItsTlsTunnelAsElite)
{
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start()) << qPrintable(service.errorText());
    expectBothPassAsElite(TestAll(service.url(QStringLiteral("/getip.php?VER=2")),
                                  service.tlsUrl(QStringLiteral("/getip.php?VER=2")), proxies()));
}

TEST_F(Socks5Judges, HttpbinJudgesSocks5AndHttpProxiesWithTheSameClasses)
{
    testsupport::HttpbinJudge httpbin;
    ASSERT_TRUE(httpbin.start()) << qPrintable(httpbin.errorText());
    expectBothPassAsElite(TestAll(httpbin.url(QStringLiteral("/get?show_env=1")), QString(), proxies()));

    // HTTP proxies before the same judge: one announces itself (Via), one passes the user's address on.
    TinyproxyFixture http;
    http.setExtraConfig({QStringLiteral("DisableViaHeader No")});
    ASSERT_TRUE(http.start(1)) << qPrintable(http.errorText());
    http.setExtraConfig({QStringLiteral("AddHeader \"X-Forwarded-For\" \"127.0.0.1\"")});
    ASSERT_TRUE(http.start(1)) << qPrintable(http.errorText());
    const QList<ProxyJudgement> verdicts =
        TestAll(httpbin.url(QStringLiteral("/get?show_env=1")), QString(),
                {{http.proxyText(0), TProxyKind::Http}, {http.proxyText(1), TProxyKind::Http}});
    EXPECT_TRUE(verdicts.at(0).pass) << qPrintable(verdicts.at(0).reason);
    EXPECT_EQ(verdicts.at(0).anonymity, TAnonymity::Anonymous);
    EXPECT_EQ(verdicts.at(0).seenAddress, TinyproxyFixture::outgoingAddress(0));
    EXPECT_FALSE(verdicts.at(1).pass);
}

TEST_F(Socks5Judges, TheTorCheckShapeIsJudgedByItsAddressAlone)
{
    // The stand-in cannot see who asks, so each one says what it would have seen.
    ScriptedHttpServer hidden;
    hidden.setDefaultReply(ScriptedHttpServer::Reply::http(200, "{\"IsTor\":false,\"IP\":\"198.51.100.7\"}"));
    ScriptedHttpServer exposed;
    exposed.setDefaultReply(ScriptedHttpServer::Reply::http(200, "{\"IsTor\":false,\"IP\":\"127.0.0.1\"}"));
    ScriptedHttpServer unreadable;
    unreadable.setDefaultReply(ScriptedHttpServer::Reply::http(200, "{\"IsTor\":false,\"IP\":\"somewhere\"}"));

    const QList<QPair<QString, TProxyKind>> viaMicrosocks = {{socks.proxyText(0), TProxyKind::Socks5}};
    const ProxyJudgement seen = TestAll(hidden.url(QStringLiteral("/api/ip")), QString(), viaMicrosocks).at(0);
    EXPECT_TRUE(seen.pass) << qPrintable(seen.reason);
    EXPECT_EQ(seen.anonymity, TAnonymity::Elite);
    EXPECT_EQ(seen.seenAddress, QStringLiteral("198.51.100.7"));
    EXPECT_EQ(hidden.requestCount(), 1);
    EXPECT_FALSE(TestAll(exposed.url(QStringLiteral("/api/ip")), QString(), viaMicrosocks).at(0).pass);
    EXPECT_FALSE(TestAll(unreadable.url(QStringLiteral("/api/ip")), QString(), viaMicrosocks).at(0).pass);
}
