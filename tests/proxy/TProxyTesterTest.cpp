#include "proxy/TProxyTester.h"

#include "support/LoopbackHttpResponder.h"
#include "support/ScriptedHttpServer.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <thread>

using testsupport::ScriptedHttpServer;

using testsupport::waitUntil;

namespace {

struct Result
{
    bool success;
    int index;
    QString response;
    QString host;
    int port;
    quint32 elapsed;
};

// Waits without running the event loop, so results stay queued for the user-interface thread.
template <typename Condition> bool waitWithoutEvents(Condition condition, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

QPair<QString, int> split(const QString& hostPort)
{
    const qsizetype colon = hostPort.lastIndexOf(':');
    return {hostPort.left(colon), hostPort.mid(colon + 1).toInt()};
}

class ProxyTester : public ::testing::Test
{
protected:
    void SetUp() override
    {
        origin.setDefaultReply(ScriptedHttpServer::Reply::http(200, "203.0.113.7"));
        makeTester();
    }

    void makeTester()
    {
        tester = std::make_unique<TProxyTester>(origin.url("/getip.php?VER=1"), [this](int range) {
            draws << range;
            return delayMs;
        });
        tester->OnTestResult = [this](bool success, int index, const QString& response, const QString& host, int port,
                                      quint32 elapsed) {
            results.append({success, index, response, host, port, elapsed});
        };
    }

    void test(int index, const QString& hostPort)
    {
        const auto [host, port] = split(hostPort);
        ++tester->Total;
        tester->TestProxy(index, host, port);
    }

    ScriptedHttpServer origin;
    int delayMs = 0;
    QList<int> draws;
    QList<Result> results;
    std::unique_ptr<TProxyTester> tester;
};

} // namespace

TEST_F(ProxyTester, AWorkingProxyPassesAndAClosedPortFails)
{
    testsupport::TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    const QString dead = testsupport::TinyproxyFixture::deadProxyText();
    test(4, proxies.proxyText(0));
    test(9, dead);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }));
    EXPECT_EQ(draws, QList<int>({10000, 10000})); // one start delay drawn from 0..9999 per proxy
    EXPECT_EQ(tester->Done, 2);
    for (const Result& r : results) {
        if (r.index == 4) {
            EXPECT_TRUE(r.success);
            EXPECT_EQ(r.response, "203.0.113.7");
            EXPECT_EQ(QStringLiteral("%1:%2").arg(r.host).arg(r.port), proxies.proxyText(0));
        } else {
            EXPECT_EQ(r.index, 9);
            EXPECT_FALSE(r.success);
        }
    }
    EXPECT_EQ(origin.requestCount(), 1);
    // The failed proxy leaves Pending so a later run tests it again; the passed one stays.
    EXPECT_EQ(tester->Pending(), QStringList({proxies.proxyText(0)}));
    EXPECT_TRUE(waitUntil([&] { return tester->ActiveTests() == 0; }));
}

TEST_F(ProxyTester, TheProxySeesAFullUrlGetWithTheClientHeaders)
{
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(ScriptedHttpServer::Reply::http(200, "ok"));
    test(0, proxy.hostPort());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_TRUE(results.at(0).success);
    const QByteArray request = proxy.lastRequest();
    EXPECT_TRUE(request.startsWith("GET " + origin.url("/getip.php?VER=1").toUtf8() + " HTTP/1.1\r\n"));
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "User-Agent"), "Mozilla/3.0 (compatible; Indy Library)");
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "Accept"), "text/html, */*");
}

TEST_F(ProxyTester, NonSuccessAnswersOfAProxyCountAsFailures)
{
    ScriptedHttpServer proxy;
    proxy.enqueueReply(ScriptedHttpServer::Reply::http(302, "", {{"Location", "http://elsewhere/"}}));
    proxy.enqueueReply(ScriptedHttpServer::Reply::http(407, "auth"));
    test(0, proxy.hostPort());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_FALSE(results.at(0).success);
    EXPECT_TRUE(tester->Pending().isEmpty());
    // Failed proxies are tested again when handed over again.
    test(0, proxy.hostPort());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }));
    EXPECT_FALSE(results.at(1).success);
    EXPECT_EQ(proxy.requestCount(), 2);
}

TEST_F(ProxyTester, TheSameProxyTwiceInOneRunIsTestedOnceAndItsResultAnswersBoth)
{
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(ScriptedHttpServer::Reply::http(200, "ok"));
    delayMs = 200;
    test(0, proxy.hostPort());
    // The key is compared without case.
    const auto [host, port] = split(proxy.hostPort());
    ++tester->Total;
    tester->TestProxy(1, host.toUpper(), port);
    EXPECT_TRUE(results.isEmpty()); // under test is not passed: nothing is reported before the result
    EXPECT_EQ(tester->Done, 0);
    EXPECT_EQ(draws.size(), 1); // one test only
    EXPECT_EQ(tester->Pending(), QStringList({proxy.hostPort()}));

    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_TRUE(results.at(0).success);
    EXPECT_EQ(results.at(0).index, 1); // the latest hand-over's, with its host text
    EXPECT_EQ(results.at(0).host, host.toUpper());
    EXPECT_EQ(results.at(0).response, "ok");
    EXPECT_EQ(tester->Done, 2); // one result answers both hand-overs, so the run is complete
    EXPECT_EQ(tester->Total, 2);
    EXPECT_EQ(proxy.requestCount(), 1);

    // Now that it passed, a further hand-over is answered at once.
    test(3, proxy.hostPort());
    ASSERT_EQ(results.size(), 2);
    EXPECT_TRUE(results.at(1).success);
    EXPECT_EQ(results.at(1).index, 0);       // the entry's position in Pending
    EXPECT_EQ(results.at(1).response, host); // the host stands in for the body
    EXPECT_EQ(results.at(1).elapsed, 0u);
    EXPECT_EQ(tester->Done, 3);
    EXPECT_TRUE(waitUntil([&] { return tester->ActiveTests() == 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(results.size(), 2);
}

// The fault this guards against: a dead proxy handed over again while its test slept was reported as passed
// at once, and the program applied it to the desktop.
TEST_F(ProxyTester, ADeadProxyHandedOverAgainWhileItsTestSleepsFailsOnceAndNeverPasses)
{
    const QString dead = testsupport::TinyproxyFixture::deadProxyText();
    delayMs = 300;
    test(0, dead);
    test(1, dead); // the same run
    // The owner starts a new run with the same proxy while the test still sleeps.
    tester->Done = 0;
    tester->Total = 0;
    test(2, dead);
    EXPECT_TRUE(results.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_FALSE(results.at(0).success);
    EXPECT_EQ(results.at(0).index, 2);
    EXPECT_EQ(tester->Done, 1); // only the current run's hand-over is answered: Done never passes Total
    EXPECT_EQ(tester->Total, 1);
    EXPECT_TRUE(tester->Pending().isEmpty());
    EXPECT_TRUE(waitUntil([&] { return tester->ActiveTests() == 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(results.size(), 1);
    EXPECT_EQ(draws.size(), 1); // one test only
}

TEST_F(ProxyTester, AResultOfAnEarlierRunNotHandedOverAgainIsNotCounted)
{
    testsupport::TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    delayMs = 300;
    test(0, testsupport::TinyproxyFixture::deadProxyText());
    tester->Done = 0;
    tester->Total = 0;
    delayMs = 0;
    test(1, proxies.proxyText(0));
    // The earlier test's failure has been booked once its proxy has left Pending.
    ASSERT_TRUE(waitUntil([&] { return tester->Pending().size() == 1 && !results.isEmpty(); }));
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results.at(0).index, 1);
    EXPECT_TRUE(results.at(0).success);
    EXPECT_EQ(tester->Done, tester->Total);
    EXPECT_EQ(tester->Pending(), QStringList({proxies.proxyText(0)}));
}

// After a stop, nothing is known of the proxies whose tests it cut: they are tested afresh, even when the run
// goes on at once, before the test thread has seen the stop.
TEST_F(ProxyTester, ProxiesWhoseTestsAStopCutAreTestedAgain)
{
    testsupport::TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    const QString dead = testsupport::TinyproxyFixture::deadProxyText();
    const QString live = proxies.proxyText(0);
    delayMs = 400;
    test(0, dead);
    test(1, live);
    tester->SetStopped(true);
    EXPECT_TRUE(tester->Stopped());
    EXPECT_TRUE(tester->Pending().isEmpty());

    tester->Done = 0;
    tester->Total = 0;
    delayMs = 0;
    test(2, dead);
    test(3, live);
    EXPECT_TRUE(results.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }));
    ASSERT_TRUE(waitUntil([&] { return tester->ActiveTests() == 0; }));
    QCoreApplication::processEvents();
    ASSERT_EQ(results.size(), 2); // the cut tests never report
    for (const Result& r : results) {
        if (r.index == 2) {
            EXPECT_FALSE(r.success);
        } else {
            EXPECT_EQ(r.index, 3);
            EXPECT_TRUE(r.success);
            EXPECT_EQ(r.response, "203.0.113.7"); // a real answer through the proxy
        }
    }
    EXPECT_EQ(origin.requestCount(), 1);
    EXPECT_EQ(tester->Done, 2);
    EXPECT_EQ(tester->Pending(), QStringList({live}));
}

// Stopping the run, or destroying the tester while another test still sleeps, lets the connection go.
TEST_F(ProxyTester, AProxyThatNeverAnswersGivesNoResultAndIsLetGoOnceStoppedOrDestroyed)
{
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(ScriptedHttpServer::Reply().hang());
    for (const bool destroy : {false, true}) {
        makeTester();
        delayMs = 0;
        test(0, proxy.hostPort());
        delayMs = 60000;
        test(1, testsupport::TinyproxyFixture::deadProxyText());
        ASSERT_TRUE(waitUntil([&] { return proxy.openConnections() == 1; }, 10000)) << destroy;
        EXPECT_FALSE(waitUntil([&] { return !results.isEmpty(); }, 300)) << destroy;
        EXPECT_EQ(tester->ActiveTests(), 2) << destroy;
        if (destroy) {
            tester.reset();
        } else {
            tester->SetStopped(true);
            EXPECT_TRUE(waitUntil([&] { return tester->ActiveTests() == 0; }, 5000));
        }
        EXPECT_TRUE(waitUntil([&] { return proxy.openConnections() == 0; }, 5000)) << destroy;
        EXPECT_TRUE(results.isEmpty()) << destroy;
    }
}

TEST_F(ProxyTester, AProxyThatNeverAnswersFailsAtItsTimeLimitSoEveryRunEnds)
{
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(ScriptedHttpServer::Reply().hang());
    tester->SetTimeoutMs(400);
    delayMs = 200; // the limit counts from the end of the start delay
    test(0, proxy.hostPort());
    ASSERT_TRUE(waitUntil([&] { return !results.isEmpty(); }, 10000));
    EXPECT_FALSE(results.at(0).success);
    EXPECT_EQ(tester->Done, tester->Total);
    EXPECT_TRUE(waitUntil([&] { return proxy.openConnections() == 0 && tester->ActiveTests() == 0; }, 5000));
    EXPECT_TRUE(tester->Pending().isEmpty());
}

TEST_F(ProxyTester, OnlyAProxySeenAliveBeforeIsGivenTheFullTimeLimit)
{
    ScriptedHttpServer unknown;
    unknown.setDefaultReply(ScriptedHttpServer::Reply().hang());
    ScriptedHttpServer known;
    known.setDefaultReply(ScriptedHttpServer::Reply().hang());
    tester->SetTimeoutMs(8000);
    tester->SetFirstContactTimeoutMs(300);
    test(0, unknown.hostPort());
    const auto [host, port] = split(known.hostPort());
    ++tester->Total;
    tester->TestProxy(1, host, port, TProxyKind::Http, true);
    ASSERT_TRUE(waitUntil([&] { return !results.isEmpty(); }, 4000));
    EXPECT_EQ(results.at(0).index, 0);
    EXPECT_FALSE(results.at(0).success);
    EXPECT_EQ(results.size(), 1);
    EXPECT_EQ(known.openConnections(), 1) << "still given its time";
}

TEST_F(ProxyTester, APassOlderThanItsValidityIsTestedAgain)
{
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(ScriptedHttpServer::Reply::http(200, "ok"));
    test(0, proxy.hostPort());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    test(1, proxy.hostPort()); // fresh: answered at once
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(proxy.requestCount(), 1);
    tester->SetPassValidityMs(0);
    test(2, proxy.hostPort());
    EXPECT_EQ(results.size(), 2); // no immediate report: the proxy is asked again
    ASSERT_TRUE(waitUntil([&] { return results.size() == 3; }));
    EXPECT_TRUE(results.at(2).success);
    EXPECT_EQ(proxy.requestCount(), 2);
    proxy.setDefaultReply(ScriptedHttpServer::Reply::http(503, "gone"));
    test(3, proxy.hostPort());
    ASSERT_TRUE(waitUntil([&] { return results.size() == 4; }));
    EXPECT_FALSE(results.at(3).success); // a proxy that died since its pass is caught
}

TEST_F(ProxyTester, AProxyThatShowsTheServiceTheUsersAddressFails)
{
    // What the service answers to the address check: the sender and every header it received.
    tester->SetLocalAddress(QStringLiteral("198.51.100.23"));
    struct Case
    {
        QByteArray answer;
        bool passes;
        TAnonymity anonymity;
        QString seen = {}; // the address the verdict names, where it matters
    };
    const QList<Case> cases = {
        {"RemoteAddr=203.0.113.9\r\nHeader.Accept=text/html, */*\r\n", true, TAnonymity::Elite},
        {"RemoteAddr=203.0.113.9\r\nHeader.Via=1.1 proxy\r\n", true, TAnonymity::Anonymous},
        {"RemoteAddr=203.0.113.9\rHeader.Via=1.1 proxy\r", true, TAnonymity::Anonymous},
        {"RemoteAddr=198.51.100.23\r\n", false, TAnonymity::Unknown},
        {"RemoteAddr=203.0.113.9\r\nHeader.X-Forwarded-For=10.0.0.1, 198.51.100.23\r\n", false, TAnonymity::Unknown},
        {"RemoteAddr=203.0.113.9\nHeader.Forwarded=for=198.51.100.23:4711;proto=http", false, TAnonymity::Unknown},
        {"RemoteAddr=203.0.113.9\r\nHeader.X-Note=198.51.100.234\r\n", true, TAnonymity::Elite},
        {"RemoteAddr=not an address\r\n", false, TAnonymity::Unknown},
        {QByteArray("RemoteAddr=203.0.113.9\r\n\0\x01", 26), false, TAnonymity::Unknown},
        {"203.0.113.9", true, TAnonymity::Unknown},    // an older service tells nothing to judge
        {"198.51.100.23", false, TAnonymity::Unknown}, // unless it names the user
        {"RemoteAddr=203.0.113.9\r\nRemoteAddr=198.51.100.23\r\n", false, TAnonymity::Unknown},
        {"<html><p>Client IP: 198.51.100.23:51234</p></html>", false, TAnonymity::Unknown},
        {"RemoteAddr=2001:db8::9%<b>x|y</b>\r\n", true, TAnonymity::Elite, QStringLiteral("2001:db8::9")},
    };
    ScriptedHttpServer proxy;
    for (const Case& c : cases)
        proxy.enqueueReply(ScriptedHttpServer::Reply::http(200, c.answer));
    for (int i = 0; i < cases.size(); ++i) {
        results.clear();
        test(i, proxy.hostPort());
        ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
        EXPECT_EQ(results.at(0).success, cases.at(i).passes) << cases.at(i).answer.constData();
        ProxyJudgement verdict;
        if (cases.at(i).passes) {
            ASSERT_TRUE(tester->PassVerdict(results.at(0).host, results.at(0).port, verdict));
            EXPECT_EQ(verdict.anonymity, cases.at(i).anonymity) << cases.at(i).answer.constData();
            if (!cases.at(i).seen.isEmpty()) {
                EXPECT_EQ(verdict.seenAddress, cases.at(i).seen) << "a scope is no part of where the user is seen";
            }
            tester->Forget(results.at(0).host, results.at(0).port);
        }
    }
}

TEST_F(ProxyTester, HandOversCutBeforeTheCallerIsBackInItsEventLoopSendNothing)
{
    testsupport::LoopbackHttpResponder responder;
    ASSERT_TRUE(responder.listen(2));
    responder.start();
    test(0, responder.hostPort(0));
    test(1, responder.hostPort(1));
    EXPECT_EQ(tester->ActiveTests(), 2);
    tester->SetStopped(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(tester->ActiveTests(), 0);
    EXPECT_FALSE(waitUntil([&] { return responder.requests() > 0 || !results.isEmpty(); }, 300));

    // Handed over again, the same proxy is tested afresh; so is one handed to a tester destroyed meanwhile.
    test(2, responder.hostPort(0));
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_EQ(results.at(0).index, 2);
    test(3, responder.hostPort(1));
    tester.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(waitUntil([&] { return responder.requests() > 1; }, 300));
}

// A result already on its way to the user-interface thread when the run stops is dropped there.
class HeldResult : public ProxyTester
{
protected:
    void SetUp() override
    {
        ProxyTester::SetUp();
        ASSERT_TRUE(responder.listen(1));
        responder.start();
        test(0, responder.hostPort(0));
        // Hand-overs reach the thread when the caller is back in its event loop: one turn passes this one on.
        QCoreApplication::processEvents();
        // The request is done and the worker is waiting on this thread, which has not run its event loop since.
        ASSERT_TRUE(waitWithoutEvents([&] { return responder.requests() == 1 && tester->ActiveTests() == 0; }));
    }

    testsupport::LoopbackHttpResponder responder;
};

TEST_F(HeldResult, IsDroppedAfterStopAndItsProxyLeavesPending)
{
    tester->SetStopped(true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(results.isEmpty());
    EXPECT_EQ(tester->Done, 0);
    EXPECT_TRUE(tester->Pending().isEmpty());
}

TEST_F(HeldResult, IsDroppedWhenTheRunStopsAndGoesOnBeforeItIsBooked)
{
    tester->SetStopped(true);
    test(1, responder.hostPort(0)); // clears the stop and tests afresh
    EXPECT_FALSE(tester->Stopped());
    ASSERT_TRUE(waitUntil([&] { return !results.isEmpty() && tester->ActiveTests() == 0; }));
    QCoreApplication::processEvents();
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results.at(0).index, 1);
    EXPECT_EQ(responder.requests(), 2);
    EXPECT_EQ(tester->Done, 1);
}

TEST_F(HeldResult, IsDeliveredWhenTheRunGoesOn)
{
    QCoreApplication::processEvents();
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_TRUE(results.at(0).success);
    EXPECT_EQ(tester->Done, 1);
}

TEST_F(HeldResult, NeverReachesADestroyedTester)
{
    tester.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(results.isEmpty());
}

TEST_F(ProxyTester, AHandlerThatThrowsDoesNotStopTheTester)
{
    testsupport::LoopbackHttpResponder responder;
    responder.setReply(503, "busy");
    ASSERT_TRUE(responder.listen(2));
    responder.start();
    int calls = 0;
    tester->OnTestResult = [&](bool, int, const QString&, const QString&, int, quint32) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    test(0, responder.hostPort(0));
    test(1, responder.hostPort(1));
    ASSERT_TRUE(waitUntil([&] { return calls == 2; }));
    EXPECT_EQ(tester->Done, 2);
}
