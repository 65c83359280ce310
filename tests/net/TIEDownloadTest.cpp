#include "net/TIEDownload.h"

#include "support/ScriptedHttpServer.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

using testsupport::ScriptedHttpServer;
using Reply = testsupport::ScriptedHttpServer::Reply;

namespace {

// The channel as the engine sets it up, with a short inactivity limit so the tests stay quick.
class TIEDownloadTest : public ::testing::Test
{
protected:
    TIEDownloadTest()
    {
        channel.SetAdditionalHeader({QStringLiteral("Content-Type: application/x-www-form-urlencoded")});
        channel.SetUserAgent(QStringLiteral("App from: http://veilport.example"));
        channel.SetTimeOut(700);
    }

    // Starts a request and waits for its completion; returns the result code.
    int request(const QString& url, int timeoutMs = 15000)
    {
        const int before = int(complete.count());
        channel.StartRequest(url);
        if (!complete.wait(timeoutMs) && complete.count() == before)
            return 1;
        return complete.last().at(2).toInt();
    }
    QByteArray body() const { return complete.last().at(1).toByteArray(); }

    ScriptedHttpServer server;
    TIEDownload channel;
    QSignalSpy complete{&channel, &TIEDownload::OnDownloadComplete};
};

TEST_F(TIEDownloadTest, AnswerWithoutLongPausesYieldsSuccessAndTheWholeBody)
{
    const QByteArray text = "magicword=w\r\nResult=0\r\n";
    server.setDefaultReply(
        Reply().pause(100).send(ScriptedHttpServer::httpHead(200, text.size())).chunked(text, 6, 100));
    QThread* seen = nullptr;
    QObject::connect(&channel, &TIEDownload::OnDownloadComplete, [&] { seen = QThread::currentThread(); });
    EXPECT_EQ(request(server.url("/update/?&LANG=English")), TIEDownload::ResultOk);
    EXPECT_EQ(body(), text);
    EXPECT_EQ(complete.last().at(0).value<TIEDownload*>(), &channel);
    EXPECT_EQ(seen, channel.thread()) << "the completion arrives on the owner's thread";
    EXPECT_EQ(channel.RunningRequests(), 0);
}

// Values with blanks and letters beyond ASCII are escaped on the wire.
TEST_F(TIEDownloadTest, RequestCarriesTheUserAgentLineThenTheExtraHeaderAndBypassesCaches)
{
    server.setDefaultReply(Reply::http(200, "x"));
    ASSERT_EQ(request(server.url("/update/?&WVER=6_1_Debian GNU/Linux 12 (bookworm)&LANG=Fran\u00e7ais")),
              TIEDownload::ResultOk);
    const QByteArray raw = server.lastRequest();
    EXPECT_TRUE(
        raw.startsWith("GET /update/?&WVER=6_1_Debian%20GNU/Linux%2012%20(bookworm)&LANG=Fran%C3%A7ais HTTP/1.1\r\n"))
        << raw.constData();
    const QList<QByteArray> lines = ScriptedHttpServer::headerLines(raw);
    const qsizetype agent = lines.indexOf(
        "User-agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)(App from: http://veilport.example)");
    const qsizetype type = lines.indexOf("Content-Type: application/x-www-form-urlencoded");
    ASSERT_GE(agent, 0) << raw.constData();
    ASSERT_GE(type, 0);
    EXPECT_EQ(type, agent + 1);
    EXPECT_EQ(ScriptedHttpServer::headerValue(raw, "Cache-Control"), QByteArray("no-cache"));
    EXPECT_EQ(ScriptedHttpServer::headerValue(raw, "Pragma"), QByteArray("no-cache"));
}

TEST_F(TIEDownloadTest, HeaderTextsCannotAddLinesOfTheirOwn)
{
    channel.SetUserAgent(QStringLiteral("App\r\nX-Injected: 1"));
    server.setDefaultReply(Reply::http(200, "x"));
    ASSERT_EQ(request(server.url("/u")), TIEDownload::ResultOk);
    EXPECT_EQ(ScriptedHttpServer::headerValue(server.lastRequest(), "X-Injected"), QByteArray());
}

TEST_F(TIEDownloadTest, PauseBeforeTheFirstByteOrInsideTheBodyYieldsTimeOutEvenWhenTheBodyArrivesInFull)
{
    server.enqueueReply(Reply().pause(1500).send(ScriptedHttpServer::httpHead(200, 5) + "whole"));
    server.enqueueReply(Reply().send(ScriptedHttpServer::httpHead(200, 8) + "half").pause(1500).send("more"));
    EXPECT_EQ(request(server.url("/update/")), TIEDownload::ResultTimeout);
    EXPECT_EQ(body(), QByteArray("whole"));
    EXPECT_EQ(request(server.url("/update/")), TIEDownload::ResultTimeout);
    EXPECT_EQ(body(), QByteArray("halfmore"));
}

TEST_F(TIEDownloadTest, ZeroTimeOutNeverMarksARequest)
{
    channel.SetTimeOut(0);
    server.setDefaultReply(Reply().pause(800).send(ScriptedHttpServer::httpHead(200, 2) + "ok"));
    EXPECT_EQ(request(server.url("/update/")), TIEDownload::ResultOk);
}

struct StatusCase
{
    const char* name;
    QByteArray reply;
    int result;
};

void PrintTo(const StatusCase& status, std::ostream* os)
{
    *os << status.name;
}

class TIEDownloadStatusTest : public TIEDownloadTest, public ::testing::WithParamInterface<StatusCase>
{
};

TEST_P(TIEDownloadStatusTest, ReplyStatusDecidesTheResult)
{
    server.setDefaultReply(Reply().send(GetParam().reply));
    EXPECT_EQ(request(server.url("/update/")), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, TIEDownloadStatusTest,
    ::testing::Values(
        StatusCase{"NotFound", "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
                   TIEDownload::ResultAborted},
        StatusCase{"Forbidden", "HTTP/1.0 403 Forbidden\r\n\r\n", TIEDownload::ResultAborted},
        StatusCase{"DeclaredEmpty", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", TIEDownload::ResultAborted},
        StatusCase{"ServerErrorLetsTheBodyThrough", "HTTP/1.0 500 Oops\r\nContent-Length: 4\r\n\r\noops",
                   TIEDownload::ResultOk},
        StatusCase{"NoLengthReadsToClose", "HTTP/1.0 200 OK\r\n\r\nuntil close", TIEDownload::ResultOk},
        StatusCase{"CutShort", "HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nshort", TIEDownload::ResultFailed},
        StatusCase{"CutInsideTheHeaders", "HTTP/1.0 200 OK\r\nContent-Type: text/pl", TIEDownload::ResultFailed},
        StatusCase{"Garbage", "this is not http at all\r\n\r\n", TIEDownload::ResultFailed}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(TIEDownloadTest, RedirectIsFollowedToTheReply)
{
    server.enqueueReply(Reply::http(302, "", {{"Location", server.url("/moved").toUtf8()}}));
    server.enqueueReply(Reply::http(200, "arrived"));
    EXPECT_EQ(request(server.url("/update/")), TIEDownload::ResultOk);
    EXPECT_EQ(body(), QByteArray("arrived"));
    EXPECT_EQ(server.requestCount(), 2);
}

// A server that goes silent after the first bytes: the overall bound ends the request, and the stall limit ends
// it long before that bound even where no inactivity mark is set.
TEST_F(TIEDownloadTest, SilentServerIsGivenUpByTheOverallBoundOrSoonerByTheStallLimit)
{
    server.setDefaultReply(Reply().send(ScriptedHttpServer::httpHead(200, 100) + "begun").hang());
    struct Limits
    {
        int inactivityMs;
        int stallMs;
        int overallMs;
    };
    for (const Limits limits : {Limits{700, 60000, 1000}, Limits{0, 1000, 60000}}) {
        channel.SetTimeOut(limits.inactivityMs);
        channel.SetStallTimeoutMs(limits.stallMs);
        channel.SetOverallTimeoutMs(limits.overallMs);
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(request(server.url("/update/")), TIEDownload::ResultTimeout) << limits.stallMs;
        EXPECT_LT(clock.elapsed(), 10000) << limits.stallMs;
        EXPECT_EQ(body(), QByteArray("begun"));
    }
}

TEST_F(TIEDownloadTest, BodyBeyondTheCapFails)
{
    channel.SetMaxBodySize(1000);
    server.setDefaultReply(Reply::http(200, QByteArray(5000, 'x')));
    EXPECT_EQ(request(server.url("/update/")), TIEDownload::ResultFailed);
    EXPECT_LE(body().size(), 1000);
}

TEST_F(TIEDownloadTest, RefusedConnectionAndUnusableAddressesStillComplete)
{
    const int port = testsupport::TinyproxyFixture::freePort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(request(QStringLiteral("http://127.0.0.1:%1/update/").arg(port)), TIEDownload::ResultCannotConnect);
    // Completing even here keeps a caller that waits for the answer from waiting for ever.
    EXPECT_EQ(request(QStringLiteral("gopher://127.0.0.1:%1/").arg(server.port())), TIEDownload::ResultSyntax);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(TIEDownloadTest, AddressWithoutSchemeGetsTheDefaultProtocol)
{
    EXPECT_EQ(channel.CompleteUrl(QStringLiteral("example.org/update/")), QStringLiteral("http://example.org/update/"));
    EXPECT_EQ(channel.CompleteUrl(QStringLiteral("HTTPS://example.org/")), QStringLiteral("HTTPS://example.org/"));
    server.setDefaultReply(Reply::http(200, "plain"));
    EXPECT_EQ(request(server.hostPort() + "/update/"), TIEDownload::ResultOk);
    EXPECT_EQ(body(), QByteArray("plain"));
}

} // namespace
