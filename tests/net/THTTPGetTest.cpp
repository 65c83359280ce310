#include "net/THTTPGet.h"

#include "platform/ProcessProxy.h"
#include "support/ScriptedHttpServer.h"
#include "support/Socks5Servers.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::ScriptedHttpServer;
using Reply = testsupport::ScriptedHttpServer::Reply;
using testsupport::waitUntil;

namespace {

// A component configured as the program's flag fetchers are: raw bytes, no cache, not waited for.
class THTTPGetTest : public ::testing::Test
{
protected:
    THTTPGetTest()
    {
        platform::setProcessProxy(QString());
        get.SetBinaryData(true);
        get.SetFileName(dir.file("flag.png"));
    }

    // Waits for the fetch to end one way or the other.
    bool waitIdle(int timeoutMs = 10000)
    {
        waitUntil([&] { return !get.Busy(); }, timeoutMs);
        return !get.Busy();
    }

    testsupport::TempDir dir;
    ScriptedHttpServer server;
    THTTPGet get;
    QSignalSpy done{&get, &THTTPGet::OnDoneFile};
    QSignalSpy failed{&get, &THTTPGet::OnError};
};

TEST_F(THTTPGetTest, ReplyOfAnyStatusWithMatchingLengthIsSavedAndReportedDone)
{
    server.setDefaultReply(Reply::http(404, "not here, but complete"));
    get.SetURL(server.url("/tpl/images/flag_small/Canada.png"));
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_EQ(failed.count(), 0);
    EXPECT_EQ(done.at(0).at(1).toString(), dir.file("flag.png"));
    EXPECT_EQ(done.at(0).at(2).toLongLong(), 22);
    EXPECT_EQ(dir.read("flag.png"), QByteArray("not here, but complete"));
    EXPECT_TRUE(get.Success());
}

TEST_F(THTTPGetTest, ReplyWithoutContentLengthFailsWithoutCreatingTheFile)
{
    server.setDefaultReply(Reply::http(200, "PNG bytes", {}, false));
    get.SetURL(server.url("/flag.png"));
    get.GetFile();
    ASSERT_TRUE(failed.wait(10000));
    EXPECT_EQ(done.count(), 0);
    EXPECT_FALSE(QFile::exists(dir.file("flag.png")));
    EXPECT_FALSE(get.Success());
}

TEST_F(THTTPGetTest, WithoutBinaryDataOnlyAnEmptyBodyWithoutLengthSucceeds)
{
    get.SetBinaryData(false);
    server.enqueueReply(Reply::http(200, "", {}, false));
    server.enqueueReply(Reply::http(200, "some text", {}, false));
    get.SetURL(server.url("/empty"));
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_EQ(dir.read("flag.png"), QByteArray());

    get.SetURL(server.url("/text"));
    get.GetFile();
    ASSERT_TRUE(failed.wait(10000));
    EXPECT_EQ(done.count(), 1);
}

TEST_F(THTTPGetTest, ShortBodyFailsAndLeavesThePartialFile)
{
    server.setDefaultReply(Reply().send(ScriptedHttpServer::httpHead(200, 10)).send("abcd"));
    get.SetURL(server.url("/flag.png"));
    get.GetFile();
    ASSERT_TRUE(failed.wait(10000));
    EXPECT_EQ(done.count(), 0);
    EXPECT_EQ(dir.read("flag.png"), QByteArray("abcd"));
}

TEST_F(THTTPGetTest, GetFileWhileBusyIsDroppedWithoutEvents)
{
    server.setDefaultReply(Reply().pause(300).send(ScriptedHttpServer::httpHead(200, 5) + "first"));
    get.SetURL(server.url("/first.png"));
    get.GetFile();
    get.SetURL(server.url("/second.png"));
    get.SetFileName(dir.file("second.png"));
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    // A request dropped for good, not merely put off: the next one after the first is the next on the wire.
    get.SetURL(server.url("/third.png"));
    get.SetFileName(dir.file("third.png"));
    get.GetFile();
    ASSERT_TRUE(waitUntil([&] { return done.count() + failed.count() >= 2; }));
    const QList<QByteArray> requests = server.requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_TRUE(requests.at(0).startsWith("GET /first.png "));
    EXPECT_TRUE(requests.at(1).startsWith("GET /third.png "));
    EXPECT_EQ(done.count(), 2);
    EXPECT_EQ(done.at(0).at(1).toString(), dir.file("flag.png"));
    EXPECT_FALSE(QFile::exists(dir.file("second.png")));
}

TEST_F(THTTPGetTest, RequestIsPlainHttp10WithAcceptAgentAndCacheBypass)
{
    server.setDefaultReply(Reply::http(200, "x"));
    // The prefix rule ignores letter case and leaves an address inside the query alone; country names with
    // blanks are escaped on the wire.
    get.SetURL(QStringLiteral("HTTP://") + server.hostPort() + "/United States.png?from=http://elsewhere/");
    get.SetReferer("http://referrer.example/");
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    const QByteArray request = server.lastRequest();
    EXPECT_TRUE(request.startsWith("GET /United%20States.png?from=http://elsewhere/ HTTP/1.0\r\n"))
        << request.constData();
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "Accept"), QByteArray("*/*"));
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "User-Agent"), QByteArray("Veilport HTTPGet"));
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "Pragma"), QByteArray("no-cache"));
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "Referer"), QByteArray("http://referrer.example/"));

    // With the cache allowed and no agent, neither header is sent.
    get.SetUseCache(true);
    get.SetAgent(QString());
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_EQ(ScriptedHttpServer::headerValue(server.lastRequest(), "Pragma"), QByteArray());
    EXPECT_EQ(ScriptedHttpServer::headerValue(server.lastRequest(), "User-Agent"), QByteArray());
}

TEST_F(THTTPGetTest, PostQueryIsSentAsFormBody)
{
    server.setDefaultReply(Reply::http(200, "ok"));
    get.SetURL(server.url("/form"));
    get.SetPostQuery("a=1&b=two");
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    const QByteArray request = server.lastRequest();
    EXPECT_TRUE(request.startsWith("POST /form HTTP/1.0\r\n"));
    EXPECT_EQ(ScriptedHttpServer::headerValue(request, "Content-Type"),
              QByteArray("application/x-www-form-urlencoded"));
    EXPECT_TRUE(request.endsWith("\r\n\r\na=1&b=two"));
}

TEST_F(THTTPGetTest, AddressesItCannotFetchFailWithoutRequest)
{
    for (const QString& url :
         {QStringLiteral("ftp://%1/flag.png"), QStringLiteral("http://%1"), QStringLiteral("%1")}) {
        get.SetURL(url.arg(server.hostPort()));
        get.GetFile();
        ASSERT_TRUE(failed.wait(5000)) << url.toStdString();
    }
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(done.count(), 0);
}

TEST_F(THTTPGetTest, RefusedConnectionFailsWithoutFileEvenWithoutBinaryData)
{
    // A port that was just free: nobody listens there any more.
    const int port = testsupport::TinyproxyFixture::freePort();
    ASSERT_NE(port, 0);
    get.SetBinaryData(false);
    get.SetURL(QStringLiteral("http://127.0.0.1:%1/flag.png").arg(port));
    get.GetFile();
    ASSERT_TRUE(failed.wait(10000));
    EXPECT_EQ(done.count(), 0);
    EXPECT_FALSE(QFile::exists(dir.file("flag.png")));
}

TEST_F(THTTPGetTest, ProgressArrivesOnTheOwnersThreadForEveryBlock)
{
    const QByteArray body(3000, 'p');
    server.setDefaultReply(Reply().send(ScriptedHttpServer::httpHead(200, body.size())).chunked(body, 1000, 50));
    QList<qint64> readings;
    bool allOnOwnerThread = true;
    QObject::connect(&get, &THTTPGet::OnProgress, [&](THTTPGet* sender, qint64 total, qint64 readed) {
        allOnOwnerThread =
            allOnOwnerThread && QThread::currentThread() == get.thread() && sender == &get && total == 3000;
        readings << readed;
    });
    get.SetURL(server.url("/big.png"));
    get.GetFile();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_TRUE(allOnOwnerThread);
    ASSERT_GE(readings.size(), 3);
    EXPECT_EQ(readings.last(), 3000);
    EXPECT_TRUE(std::is_sorted(readings.begin(), readings.end()));
}

// Whether nothing at all comes or the body stops halfway; what came is kept.
TEST_F(THTTPGetTest, StalledServerIsGivenUpAfterTheStallTimeout)
{
    server.enqueueReply(Reply().withoutRequest().hang());
    server.enqueueReply(Reply().send(ScriptedHttpServer::httpHead(200, 100)).send("part").hang());
    get.SetStallTimeoutMs(1000);
    get.SetURL(server.url("/stuck.png"));
    for (int fetch = 1; fetch <= 2; ++fetch) {
        get.GetFile();
        ASSERT_TRUE(failed.wait(15000)) << fetch;
        ASSERT_TRUE(waitIdle());
    }
    EXPECT_EQ(done.count(), 0);
    EXPECT_EQ(dir.read("flag.png"), QByteArray("part"));
}

TEST_F(THTTPGetTest, WaitThreadReturnsOnlyWhenTheFetchHasEnded)
{
    server.setDefaultReply(Reply().pause(200).send(ScriptedHttpServer::httpHead(200, 3) + "abc"));
    get.SetWaitThread(true);
    get.SetURL(server.url("/w.png"));
    get.GetFile();
    EXPECT_FALSE(get.Busy());
    EXPECT_EQ(done.count(), 1);
    EXPECT_EQ(dir.read("flag.png"), QByteArray("abc"));
}

TEST_F(THTTPGetTest, FetchGoesThroughTheProcessProxy)
{
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(Reply::http(200, "via proxy"));
    ASSERT_TRUE(platform::setProcessProxy(proxy.hostPort()));
    get.SetURL(server.url("/flag.png"));
    get.GetFile();
    const bool finished = done.wait(10000);
    platform::setProcessProxy(QString());
    ASSERT_TRUE(finished);
    EXPECT_EQ(server.requestCount(), 0);
    ASSERT_EQ(proxy.requestCount(), 1);
    EXPECT_TRUE(proxy.lastRequest().startsWith("GET " + server.url("/flag.png").toUtf8() + " HTTP/1.0"));
    EXPECT_EQ(dir.read("flag.png"), QByteArray("via proxy"));
}

// A SOCKS5 process proxy is asked for the name too: the flag's host is known to microsocks alone.
TEST_F(THTTPGetTest, FetchThroughASocks5ProcessProxyLeavesTheNameToTheProxy)
{
    const QString name = QStringLiteral("flags.veilport.test");
    testsupport::Socks5Servers socks;
    if (!socks.start(testsupport::Socks5Servers::Microsocks, {name}))
        GTEST_SKIP() << qPrintable(socks.errorText());
    server.setDefaultReply(Reply::http(200, "via socks"));
    ASSERT_TRUE(platform::setProcessProxy(QStringLiteral("socks5://") + socks.proxyText(0)));
    get.SetURL(QStringLiteral("http://%1:%2/flag.png").arg(name).arg(server.port()));
    get.GetFile();
    const bool finished = waitIdle();
    platform::setProcessProxy(QString());
    ASSERT_TRUE(finished);
    EXPECT_EQ(failed.count(), 0);
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(dir.read("flag.png"), QByteArray("via socks"));
}

} // namespace
