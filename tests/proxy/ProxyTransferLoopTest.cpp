// The tester at scale, driven through TProxyTester against real tinyproxy instances: a test's time limit is
// the proxy's own, running out of descriptors costs no proxy its pass, and the tunnel tests share one TLS
// session with the service.
#include "proxy/ProxyText.h"
#include "proxy/TProxyTester.h"

#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/ScriptedHttpServer.h"
#include "support/TinyproxyFarm.h"
#include "support/Wait.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

using testsupport::waitUntil;

namespace {

class ProxyTransferLoop : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(proxies.start(2)) << qPrintable(proxies.errorText()); }

    void makeTester(const QString& url, const QString& tunnelUrl = QString())
    {
        tester = std::make_unique<TProxyTester>(url, [](int) { return 0; });
        tester->SetTunnelUrl(tunnelUrl);
        tester->OnTestResult = [this](bool success, int index, const QString& response, const QString&, int, quint32) {
            (success ? passed : failed) << index;
            if (!success)
                reasons << response;
        };
    }

    // Hands over the farm's proxies first .. first + count - 1, their index their number.
    void testProxies(int first, int count)
    {
        for (int i = first; i < first + count; ++i)
            testProxy(i, proxies.proxyText(i));
    }

    void testProxy(int index, const QString& text)
    {
        ProxyAddress address;
        ASSERT_TRUE(SplitProxyText(text, address));
        ++tester->Total;
        tester->TestProxy(index, address.host, address.port);
    }

    bool waitForResults(int count, int timeoutMs = 30000)
    {
        return waitUntil([&] { return passed.size() + failed.size() >= count; }, timeoutMs);
    }

    testsupport::TinyproxyFarm proxies;
    std::unique_ptr<TProxyTester> tester;
    QList<int> passed;
    QList<int> failed;
    QStringList reasons;
};

// Puts the soft limit on descriptors back when the test ends.
class OpenFileLimitGuard
{
public:
    OpenFileLimitGuard() { getrlimit(RLIMIT_NOFILE, &m_saved); }
    ~OpenFileLimitGuard() { setrlimit(RLIMIT_NOFILE, &m_saved); }
    bool lowerTo(rlim_t soft)
    {
        rlimit lowered = m_saved;
        lowered.rlim_cur = soft;
        return setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }

private:
    rlimit m_saved{};
};

} // namespace

TEST_F(ProxyTransferLoop, HealthyProxiesWaitingForAPlaceAllPassWhileAHangingOneFailsAtItsLimit)
{
    // Each answer takes 150 ms: sixteen proxies two at a time need well over a second, twice their limit.
    testsupport::ScriptedHttpServer origin;
    origin.setDefaultReply(testsupport::ScriptedHttpServer::Reply()
                               .pause(150)
                               .send(testsupport::ScriptedHttpServer::httpHead(200, 11))
                               .send("203.0.113.7"));
    testsupport::ScriptedHttpServer hanging;
    hanging.setDefaultReply(testsupport::ScriptedHttpServer::Reply().hang());
    makeTester(origin.url("/getip.php?VER=2"));
    tester->SetMaxRunning(2);
    tester->SetTimeoutMs(700);
    testProxy(100, hanging.hostPort());
    testProxies(0, 16);
    ASSERT_TRUE(waitForResults(17));
    EXPECT_EQ(failed, QList<int>({100})) << qPrintable(reasons.join("; "));
    EXPECT_EQ(passed.size(), 16);
    EXPECT_EQ(origin.requestCount(), 16);
    EXPECT_TRUE(waitUntil([&] { return hanging.openConnections() == 0; }, 5000));
}

TEST_F(ProxyTransferLoop, NoProxyFailsWhenThisMachineRunsOutOfDescriptors)
{
    // The service runs in a process of its own, so only the tester meets the lowered limit.
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start({})) << qPrintable(service.errorText());
    makeTester(service.url(QStringLiteral("/getip.php?VER=2")), service.tlsUrl(QStringLiteral("/getip.php?VER=2")));
    tester->SetTimeoutMs(10000);
    OpenFileLimitGuard limit;
    // Room for the tester's own handles and a handful of requests, far fewer than it starts with.
    const rlim_t open = rlim_t(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
    ASSERT_TRUE(limit.lowerTo(open + 12));
    testProxies(0, 40);
    ASSERT_TRUE(waitForResults(40));
    EXPECT_TRUE(failed.isEmpty()) << qPrintable(reasons.join("; "));
    EXPECT_EQ(passed.size(), 40);
    EXPECT_GT(tester->LocalRefusals(), 0) << "the limit was never met, so nothing was shown";
}

// The service behind the tunnel tests: the address check over plain HTTP and over TLS.
class TunnelService : public ProxyTransferLoop
{
protected:
    void startService(bool tls13Only)
    {
        QString certificate;
        QString key;
        QString error;
        ASSERT_TRUE(testsupport::LoopbackHttpResponder::makeCertificate(dir.path(), QStringLiteral("127.0.0.1"),
                                                                        &certificate, &key, &error))
            << qPrintable(error);
        ASSERT_TRUE(origin.listen(1) && origin.listenTls(1, certificate, key));
        origin.setReply(200, "RemoteAddr=198.51.100.1\r\n");
        if (tls13Only)
            origin.requireTls13();
        origin.start();
        makeTester(QStringLiteral("http://%1/getip.php?VER=2").arg(origin.hostPort(0)),
                   QStringLiteral("https://%1%2").arg(origin.hostPort(1), tunnelPath));
    }

    QString tunnelPath = QStringLiteral("/getip.php?VER=2");

    QTemporaryDir dir;
    testsupport::LoopbackHttpResponder origin;
};

// All handed over at once, so their tunnels are ready side by side before any has a session to resume.
TEST_F(TunnelService, TunnelTestsAfterTheFirstResumeItsTlsSession)
{
    startService(false);
    testProxies(0, 24);
    ASSERT_TRUE(waitForResults(24));
    EXPECT_EQ(passed.size(), 24) << qPrintable(reasons.join("; "));
    EXPECT_EQ(origin.tlsHandshakes(), 24);
    EXPECT_GE(origin.tlsResumed(), 22) << "each full handshake costs the service a key exchange";
}

// The tunnel's request reads the service's answer itself: only a whole success is a pass.
TEST_F(TunnelService, AnErrorOrAContradictoryAnswerThroughTheTunnelFailsTheProxy)
{
    origin.setReplyFor("/gone", 404, "RemoteAddr=198.51.100.1\r\n");
    // A second length that disagrees with the first: read either way, the answer is another one.
    origin.setReplyFor("/twice", 200, "RemoteAddr=198.51.100.1\r\n", "text/plain", "Content-Length: 500\r\n");
    tunnelPath = QStringLiteral("/gone");
    startService(false);
    testProxies(0, 2);
    ASSERT_TRUE(waitForResults(2));
    EXPECT_EQ(failed.size(), 2);

    tester->SetTunnelUrl(QStringLiteral("https://%1/twice").arg(origin.hostPort(1)));
    testProxies(2, 2);
    ASSERT_TRUE(waitForResults(4));
    EXPECT_EQ(failed.size(), 4);
}

TEST_F(TunnelService, ThatSpeaksOnlyTls13FailsNoProxy)
{
    startService(true);
    testProxies(0, 12);
    ASSERT_TRUE(waitForResults(12));
    EXPECT_EQ(passed.size(), 12) << qPrintable(reasons.join("; "));
}
