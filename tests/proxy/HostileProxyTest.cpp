// The proxy pool against peers that misbehave on purpose: a list service that sends gigabytes or
// never finishes, and proxies that answer noise. A failed download keeps the list the program
// had; a proxy that does not answer with a success status does not pass its test.
#include "proxy/TProxyManager.h"
#include "proxy/TProxyTester.h"

#include "support/HostilePeerLimits.h"
#include "support/ScriptedHttpServer.h"
#include "support/Socks5Servers.h"
#include "support/TinyproxyFixture.h"
#include "support/RecordingBrowserControl.h"
#include "util/EngineServices.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

using testsupport::ScriptedHttpServer;
using Script = testsupport::ScriptedHttpServer::Reply;
using testsupport::kGiB;
using testsupport::kGrowthBoundKiB;
using testsupport::kMiB;
using testsupport::residentKiB;
using testsupport::TinyproxyFixture;
using testsupport::waitUntil;

namespace {

const QString kOldList = QStringLiteral("LocalIP=198.51.100.1\r\nLocalCountry=Canada\r\nProxyCount=1\r\n"
                                        "Proxy_0=192.0.2.10:8080|anon|Canada|http://f/ca.png|-75.7|45.4\r\n");

class HostileListService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        origin.setDefaultReply(testsupport::ScriptedHttpServer::Reply::http(200, "ok"));
        manager = std::make_unique<TProxyManager>(browsers, quiet, origin.url(QStringLiteral("/getip.php?VER=1")),
                                                  [](int) { return 0; });
        manager->ProxyListReceived(kOldList);
        ASSERT_EQ(manager->Proxies().size(), 1);
    }

    void expectOldList() const
    {
        EXPECT_EQ(manager->LocalIP(), QStringLiteral("198.51.100.1"));
        ASSERT_EQ(manager->Proxies().size(), 1);
        EXPECT_EQ(manager->Proxies().at(0).Proxy, QStringLiteral("192.0.2.10:8080"));
        EXPECT_EQ(manager->Countries(), QStringList{QStringLiteral("Canada")});
    }

    testsupport::ScriptedHttpServer origin;
    TEngineServices quiet;
    testsupport::RecordingBrowserControl browsers;
    std::unique_ptr<TProxyManager> manager;
};

} // namespace

TEST_F(HostileListService, GigabytesListFailsAfterTheBodyLimitAndKeepsTheOldList)
{
    ScriptedHttpServer service;
    ASSERT_TRUE(service.start(
        Script().send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nLocalIP=6.6.6.6\r\n").stream(3 * kGiB)));
    QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
    const qint64 before = residentKiB();
    qint64 peak = before;
    manager->DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
    // The download has ended when the client has let the connection go.
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = qMax(peak, residentKiB());
            return service.connections() == 1 && service.openConnections() == 0;
        },
        20000));
    EXPECT_LT(service.bytesSent(), 64 * kMiB + 16 * kMiB);
    EXPECT_LT(peak - before, kGrowthBoundKiB) << "KiB";

    // A good list sent afterwards is the only one that arrives.
    ScriptedHttpServer good;
    const QByteArray list = "LocalIP=203.0.113.5\r\nProxyCount=0\r\n";
    ASSERT_TRUE(good.start(Script().send(ScriptedHttpServer::httpHead(200, list.size()) + list)));
    expectOldList();
    manager->DownloadProxyList(good.url(QStringLiteral("/getproxy.php")));
    ASSERT_TRUE(waitUntil([&] { return loaded.count() >= 1; }, 10000));
    EXPECT_EQ(loaded.count(), 1);
    EXPECT_EQ(manager->LocalIP(), QStringLiteral("203.0.113.5"));
}

// Only a complete, non-empty 2xx body may change the list; neither may a refused connection.
TEST_F(HostileListService, DeclaredGigabytesAndBrokenRepliesKeepTheOldList)
{
    const QByteArray list = "LocalIP=6.6.6.6\r\n";
    ScriptedHttpServer elsewhere;
    elsewhere.setDefaultReply(Script::http(200, list));
    const QList<QByteArray> replies = {
        ScriptedHttpServer::httpHead(200, 3 * kGiB) + list,
        ScriptedHttpServer::httpHead(200, 100) + list,
        ScriptedHttpServer::httpHead(404, list.size()) + list,
        ScriptedHttpServer::httpHead(200, 0),
        "HTTP/1.1 abc\r\nContent-Length: 17\r\n\r\n" + list,
        list + "ProxyCount=0\r\n\r\n",
        "HTTP/1.1 302 Found\r\nLocation: " + elsewhere.url(QStringLiteral("/list")).toUtf8() +
            "\r\nContent-Length: 17\r\n\r\n" + list,
        ScriptedHttpServer::noise(8192, 3),
    };
    QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
    for (const QByteArray& reply : replies) {
        ScriptedHttpServer service;
        ASSERT_TRUE(service.start(Script().send(reply)));
        manager->DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
        ASSERT_TRUE(waitUntil([&] { return service.connections() == 1 && service.openConnections() == 0; }, 10000));
        expectOldList();
    }
    manager->DownloadProxyList(QStringLiteral("http://%1/getproxy.php").arg(TinyproxyFixture::deadProxyText()));
    // The worker has its answer once the connection is gone; give a last hand-over the time to show up.
    EXPECT_FALSE(loaded.wait(500));
    expectOldList();
    EXPECT_EQ(elsewhere.requestCount(), 0) << "a redirect is not followed";
}

TEST_F(HostileListService, ManagerDestroyedDuringATrickledListIsNeverReached)
{
    ScriptedHttpServer service;
    ASSERT_TRUE(service.start(Script()
                                  .send("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n")
                                  .trickle("LocalIP=6.6.6.6\r\nProxyCount=0\r\n\r\n", 50)));
    manager->DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
    ASSERT_TRUE(waitUntil([&] { return service.bytesSent() > 40; }, 10000));
    manager.reset();
    // The body completes after the manager is gone; the delivery must find nobody to call.
    EXPECT_TRUE(waitUntil([&] { return service.openConnections() == 0; }, 10000));
    QCoreApplication::processEvents();
}

namespace {

struct GarbageProxy
{
    const char* name;
    Script script;
    bool passes;
};

void PrintTo(const GarbageProxy& proxy, std::ostream* os)
{
    *os << proxy.name;
}

std::vector<GarbageProxy> garbageProxies()
{
    return {
        {"Noise", Script().send(ScriptedHttpServer::noise(4096, 11)), false},
        {"NoiseWithoutWaitingForTheRequest", Script().withoutRequest().send(ScriptedHttpServer::noise(512, 5)), false},
        {"BodyWithoutStatusLine", Script().send("203.0.113.7\r\n"), false},
        {"StatusNotANumber", Script().send("HTTP/1.1 2OO OK\r\nContent-Length: 2\r\n\r\nok"), false},
        {"StatusThenNoise", Script().send("HTTP/1.1 200 OK\r\n" + ScriptedHttpServer::noise(4096, 13)), false},
        {"CutInsideTheHeaders", Script().send("HTTP/1.1 200 OK\r\nContent-Le"), false},
        {"ShortBody", Script().send(ScriptedHttpServer::httpHead(200, 100) + "only a little"), false},
        {"ServerErrorWithNoise", Script().send(ScriptedHttpServer::httpHead(503, 64) + ScriptedHttpServer::noise(64)),
         false},
        // The answer is judged: binary noise is no account of the request from any service.
        {"SuccessWithNoiseBody",
         Script().send(ScriptedHttpServer::httpHead(200, 4096) + ScriptedHttpServer::noise(4096)), false},
        {"SuccessWithPlainTextBody", Script().send(ScriptedHttpServer::httpHead(200, 11) + "203.0.113.7"), true},
    };
}

// Testers whose proxies start at once; each result is recorded under the index its proxy was handed over with.
class HostileProxy : public ::testing::Test
{
protected:
    void makeTester(const QString& testUrl)
    {
        tester = std::make_unique<TProxyTester>(testUrl, [](int) { return 0; });
        tester->OnTestResult = [this](bool success, int index, const QString&, const QString&, int, quint32) {
            results.insert(index, success);
        };
    }
    void test(int index, int port, TProxyKind kind = TProxyKind::Http)
    {
        ++tester->Total;
        tester->TestProxy(index, QStringLiteral("127.0.0.1"), port, kind);
    }

    QHash<int, bool> results;
    std::unique_ptr<TProxyTester> tester;
};

class GarbageProxyTest : public HostileProxy, public ::testing::WithParamInterface<GarbageProxy>
{
};

} // namespace

TEST_P(GarbageProxyTest, OnlyACompleteSuccessReplyPasses)
{
    ScriptedHttpServer proxy;
    ASSERT_TRUE(proxy.start(GetParam().script));
    makeTester(QStringLiteral("http://192.0.2.1/getip.php?VER=1"));
    test(0, proxy.port());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }, 15000));
    EXPECT_EQ(results.value(0), GetParam().passes);
    EXPECT_EQ(tester->Pending().contains(proxy.hostPort()), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(Replies, GarbageProxyTest, ::testing::ValuesIn(garbageProxies()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileProxy, AnEndlessBodyFailsAtTheAnswerLimitInBoundedMemory)
{
    ScriptedHttpServer proxy;
    ASSERT_TRUE(proxy.start(Script().send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n").stream(-1)));
    makeTester(QStringLiteral("http://192.0.2.1/getip.php?VER=1"));
    const qint64 before = residentKiB();
    qint64 peak = before;
    test(0, proxy.port());
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = qMax(peak, residentKiB());
            return !results.isEmpty();
        },
        20000));
    EXPECT_LT(peak - before, kGrowthBoundKiB) << "KiB";
    EXPECT_FALSE(results.value(0, true));
    EXPECT_TRUE(waitUntil([&] { return proxy.openConnections() == 0 && tester->ActiveTests() == 0; }, 10000));
}

TEST_F(HostileProxy, AProxyThatAnswersPlainlyButSendsNoTlsInsideItsTunnelFails)
{
    // The same script answers the plain request in full, and the CONNECT with a 200 followed by bytes that
    // are no TLS handshake and then silence.
    ScriptedHttpServer proxy;
    const QByteArray answer = "RemoteAddr=203.0.113.9\r\n";
    ASSERT_TRUE(proxy.start(Script().send(ScriptedHttpServer::httpHead(200, answer.size()) + answer).hang()));
    makeTester(QStringLiteral("http://192.0.2.1/getip.php?VER=2"));
    tester->SetTimeoutMs(1500);
    test(0, proxy.port());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }, 10000));
    EXPECT_TRUE(results.value(0)) << "the plain test alone passes";

    tester->Forget(QStringLiteral("127.0.0.1"), proxy.port());
    tester->SetTunnelUrl(QStringLiteral("https://192.0.2.1/getip.php?VER=2"));
    test(1, proxy.port());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }, 10000));
    EXPECT_FALSE(results.value(1, true));
    EXPECT_TRUE(waitUntil([&] { return proxy.openConnections() == 0 && tester->ActiveTests() == 0; }, 10000));
}

TEST_F(HostileProxy, Socks5PeersThatRefuseGarbleCloseOrStallFailWithinTheTimeLimit)
{
    using testsupport::Socks5Servers;
    ScriptedHttpServer origin;
    origin.setDefaultReply(Script::http(200, "RemoteAddr=203.0.113.9\r\n"));
    // A real SOCKS5 server in the same run shows the failures come from the peers, not from the test.
    Socks5Servers real;
    ASSERT_TRUE(real.start(Socks5Servers::Microsocks)) << qPrintable(real.errorText());
    const auto socks = [](Script script) { return script.withoutRequest(); };
    const QList<QPair<const char*, Script>> peers = {
        {"RefusesEveryMethod", socks(Script().send(ScriptedHttpServer::socks5Method(0xFF)))},
        {"AsksForAPasswordNeverOffered", socks(Script().send(ScriptedHttpServer::socks5Method(2)).hang())},
        {"AsksForAPrivateMethod", socks(Script().send(ScriptedHttpServer::socks5Method(0x80)).hang())},
        {"AnswersGarbage", socks(Script().send(ScriptedHttpServer::noise(64, 7)))},
        {"AnswersAnotherVersion", socks(Script().send(QByteArray("\x04\x00", 2)).hang())},
        {"ClosesAtOnce", socks(Script())},
        {"ClosesAfterTheMethod", socks(Script().send(ScriptedHttpServer::socks5Method(0)))},
        {"RefusesTheConnection",
         socks(Script().send(ScriptedHttpServer::socks5Method(0) + ScriptedHttpServer::socks5Reply(5)).hang())},
        {"GarblesTheConnectReply",
         socks(Script().send(ScriptedHttpServer::socks5Method(0) + ScriptedHttpServer::noise(10, 3)).hang())},
        {"ConnectsThenAnswersNoise",
         socks(Script()
                   .send(ScriptedHttpServer::socks5Method(0) + ScriptedHttpServer::socks5Reply(0))
                   .send(ScriptedHttpServer::noise(4096, 9)))},
        {"StallsBeforeTheMethod", socks(Script().hang())},
        {"StallsAfterTheMethod", socks(Script().send(ScriptedHttpServer::socks5Method(0)).hang())},
        {"TricklesTheHandshake",
         socks(Script().trickle(ScriptedHttpServer::socks5Method(0) + ScriptedHttpServer::socks5Reply(0), 900))},
    };
    std::vector<std::unique_ptr<ScriptedHttpServer>> servers;
    constexpr int kLimitMs = 2000;
    makeTester(origin.url(QStringLiteral("/getip.php?VER=2")));
    tester->SetTimeoutMs(kLimitMs);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < peers.size(); ++i) {
        servers.push_back(std::make_unique<ScriptedHttpServer>());
        ASSERT_TRUE(servers.back()->start(peers.at(i).second));
        test(i, servers.back()->port(), TProxyKind::Socks5);
    }
    const int dead = int(peers.size());
    const int control = dead + 1;
    test(dead, TinyproxyFixture::freePort(), TProxyKind::Socks5);
    test(control, real.port(0), TProxyKind::Socks5);

    ASSERT_TRUE(waitUntil([&] { return results.size() == control + 1; }, kLimitMs + 8000))
        << results.size() << " of " << control + 1 << " results";
    // Every test ends by its limit, however the peer behaves; the margin is for a busy machine.
    EXPECT_LT(clock.elapsed(), kLimitMs + 3000);
    for (int i = 0; i < peers.size(); ++i)
        EXPECT_FALSE(results.value(i, true)) << peers.at(i).first;
    EXPECT_FALSE(results.value(dead, true)) << "a port nobody listens on";
    EXPECT_TRUE(results.value(control)) << "the real SOCKS5 server";
    EXPECT_EQ(tester->Pending(), QStringList({QStringLiteral("socks5://") + real.proxyText(0)}));
    EXPECT_TRUE(waitUntil([&] { return tester->ActiveTests() == 0; }, 5000));
}
