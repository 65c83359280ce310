// The network clients against servers that misbehave on purpose: bodies of several GiB, replies
// that never end or trickle in a byte at a time, broken status lines and headers. Whatever the
// server does, each client ends the way its rules say, memory stays bounded, and nothing waits
// on the thread that runs the windows.
#include "net/HttpClient.h"
#include "net/THTTPGet.h"
#include "net/TIEDownload.h"
#include "net/TUpdateCheck.h"

#include "UpdateCheckFixture.h"
#include "platform/ProcessProxy.h"
#include "support/ScriptedHttpServer.h"
#include "support/HostilePeerLimits.h"
#include "support/RecordingEngineServices.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

// The scripted peers, the bounds they are held to, and waiting.
using namespace testsupport;
using Script = ScriptedHttpServer::Reply;

namespace {

// A server that stops answering after the first bytes cannot end a request on its own; the
// clients' own rules must. The replies below are the broken ones servers and middle boxes send.
struct MalformedReply
{
    const char* name;
    QByteArray bytes;
    bool listClientSucceeds; // the list download's client (2xx rule)
    bool flagFetchSucceeds;  // the flag fetcher (Content-Length rule, status ignored)
    bool channelSucceeds;    // the update channel (result 0)
};

void PrintTo(const MalformedReply& reply, std::ostream* os)
{
    *os << reply.name;
}

const QByteArray kOk = "HTTP/1.1 200 OK\r\n";

std::vector<MalformedReply> malformedReplies()
{
    return {
        {"NoStatusLine", "magicword=x\r\nResult=1\r\n\r\nbody", false, false, false},
        {"StatusNotANumber", "HTTP/1.1 abc OK\r\nContent-Length: 2\r\n\r\nok", false, false, false},
        {"NegativeLength", kOk + "Content-Length: -5\r\n\r\nok", false, false, false},
        {"LengthBeyondAnyInteger", kOk + "Content-Length: 99999999999999999999999\r\n\r\nok", false, false, false},
        {"DuplicateEqualLengths", kOk + "Content-Length: 2\r\nContent-Length: 2\r\n\r\nok", true, true, true},
        // The body matches the first length but ends before the last one, which libcurl reads by.
        {"ConflictingLengths", kOk + "Content-Length: 2\r\nContent-Length: 5\r\n\r\nok", false, false, false},
        {"MegabyteHeaderLine", kOk + "X-Junk: " + QByteArray(kMiB, 'j') + "\r\nContent-Length: 2\r\n\r\nok", false,
         false, false},
        {"NulInHeaders", kOk + QByteArray("Content-Length: 2\0\0X: y\r\n\r\nok", 26), false, false, false},
        {"CutInsideTheHeaders", kOk + "Content-Le", false, false, false},
        {"NoLineBreakAtAll", "HTTP/1.1 200 OK Content-Length: 2 ok", false, false, false},
        {"Noise", ScriptedHttpServer::noise(4096, 7), false, false, false},
    };
}

class MalformedReplyTest : public ::testing::TestWithParam<MalformedReply>
{
protected:
    void SetUp() override
    {
        platform::setProcessProxy(QString());
        ASSERT_TRUE(server.start(Script().send(GetParam().bytes)));
    }

    TempDir dir;
    ScriptedHttpServer server;
};

} // namespace

TEST_P(MalformedReplyTest, ListClientCountsOnlyA2xxWithACompleteBody)
{
    HttpClient client;
    const HttpResponse response = client.get(server.url(QStringLiteral("/getproxy.php")));
    EXPECT_EQ(response.ok, GetParam().listClientSucceeds) << qPrintable(response.error);
    if (!response.ok) {
        EXPECT_FALSE(response.error.isEmpty());
    }
}

TEST_P(MalformedReplyTest, FlagFetchSucceedsOnlyWithAMatchingLength)
{
    THTTPGet get;
    get.SetBinaryData(true);
    get.SetFileName(dir.file(QStringLiteral("Germany_small.png")));
    get.SetURL(server.url(QStringLiteral("/flag.png")));
    QSignalSpy done(&get, &THTTPGet::OnDoneFile);
    QSignalSpy failed(&get, &THTTPGet::OnError);
    get.GetFile();
    ASSERT_TRUE(waitUntil([&] { return !get.Busy(); }, 15000));
    EXPECT_EQ(done.count(), GetParam().flagFetchSucceeds ? 1 : 0);
    EXPECT_EQ(failed.count(), GetParam().flagFetchSucceeds ? 0 : 1);
}

TEST_P(MalformedReplyTest, UpdateChannelReportsAFailureCode)
{
    TIEDownload channel;
    channel.SetOverallTimeoutMs(10000);
    QSignalSpy complete(&channel, &TIEDownload::OnDownloadComplete);
    channel.StartRequest(server.url(QStringLiteral("/update/?&LANG=English")));
    ASSERT_TRUE(waitUntil([&] { return complete.count() == 1; }, 15000));
    const int result = complete.first().at(2).toInt();
    EXPECT_EQ(result == TIEDownload::ResultOk, GetParam().channelSucceeds) << std::hex << result;
}

INSTANTIATE_TEST_SUITE_P(Replies, MalformedReplyTest, ::testing::ValuesIn(malformedReplies()),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

// The flag fetchers as the program sets them up.
class HostileFlagServer : public ::testing::Test
{
protected:
    HostileFlagServer()
    {
        platform::setProcessProxy(QString());
        get = std::make_unique<THTTPGet>();
        get->SetBinaryData(true);
        get->SetFileName(file);
    }
    void fetch(const Script& script)
    {
        ASSERT_TRUE(server.start(script));
        get->SetURL(server.url(QStringLiteral("/tpl/images/flag_small/Germany.png")));
        get->GetFile();
    }
    bool idle(int timeoutMs)
    {
        return waitUntil([&] { return !get->Busy(); }, timeoutMs);
    }

    TempDir dir;
    const QString file = dir.file(QStringLiteral("Germany_small.png"));
    ScriptedHttpServer server;
    std::unique_ptr<THTTPGet> get;
};

} // namespace

TEST_F(HostileFlagServer, DeclaredGigabytesFailAtOnceWithoutAFile)
{
    QSignalSpy failed(get.get(), &THTTPGet::OnError);
    fetch(Script().send(ScriptedHttpServer::httpHead(200, 3 * kGiB)).stream(3 * kGiB));
    ASSERT_TRUE(idle(15000));
    EXPECT_EQ(failed.count(), 1);
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_LT(server.bytesSent(), THTTPGet::kDefaultMaxFileSize);
}

TEST_F(HostileFlagServer, EndlessBodyWithoutLengthStopsAtTheSizeLimit)
{
    // Only a fetcher that takes replies without a length reads such a body at all.
    get->SetBinaryData(false);
    get->SetMaxFileSize(4 * kMiB);
    QSignalSpy failed(get.get(), &THTTPGet::OnError);
    fetch(Script().send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n").stream(-1));
    ASSERT_TRUE(idle(15000));
    EXPECT_EQ(failed.count(), 1);
    EXPECT_LE(QFileInfo(file).size(), 4 * kMiB);
}

TEST_F(HostileFlagServer, TrickleThatNeverLooksStalledIsCutByTheOverallLimit)
{
    get->SetStallTimeoutMs(60000);
    get->SetOverallTimeoutMs(2000);
    QSignalSpy failed(get.get(), &THTTPGet::OnError);
    fetch(Script().send(ScriptedHttpServer::httpHead(200, 1000)).trickle(QByteArray(), 100));
    ASSERT_TRUE(idle(15000));
    EXPECT_EQ(failed.count(), 1);
    EXPECT_TRUE(waitUntil([&] { return server.openConnections() == 0; }, 10000));
}

namespace {

// A server that stops after the head and a few bytes of the body, going silent or sending a byte now and then:
// only the client can end such a fetch.
struct StuckReply
{
    const char* name;
    Script script;
};

void PrintTo(const StuckReply& reply, std::ostream* os)
{
    *os << reply.name;
}

const QByteArray kStuckHead = ScriptedHttpServer::httpHead(200, 1000);

class StuckFlagServer : public HostileFlagServer, public ::testing::WithParamInterface<StuckReply>
{
protected:
    void fetchUntilTheBodyHasBegun()
    {
        fetch(GetParam().script);
        ASSERT_TRUE(waitUntil([&] { return server.bytesSent() > kStuckHead.size() + 2; }, 10000));
    }
};

} // namespace

TEST_P(StuckFlagServer, AbortEndsTheFetchWithoutAnEventLetsTheServerGoAndLeavesTheFetcherUsable)
{
    QSignalSpy failed(get.get(), &THTTPGet::OnError);
    QSignalSpy done(get.get(), &THTTPGet::OnDoneFile);
    fetchUntilTheBodyHasBegun();
    EXPECT_TRUE(get->Busy());
    get->Abort();
    ASSERT_TRUE(idle(10000));
    EXPECT_FALSE(get->Success());
    // The worker lets the connection go, so a dead server does not keep a socket for the run.
    EXPECT_TRUE(waitUntil([&] { return server.openConnections() == 0; }, 10000));

    server.setDefaultReply(Script::http(200, "next"));
    get->GetFile();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_EQ(done.count(), 1) << "the aborted fetch reported nothing, not even late";
    EXPECT_EQ(failed.count(), 0);
    EXPECT_EQ(QFile(file).size(), 4);
}

TEST_P(StuckFlagServer, DestroyingTheFetcherLetsTheServerGoWithoutWaitingForTheWorker)
{
    fetchUntilTheBodyHasBegun();
    QElapsedTimer clock;
    clock.start();
    get.reset();
    EXPECT_LT(clock.elapsed(), 100); // nothing waits for the worker on this thread
    EXPECT_TRUE(waitUntil([&] { return server.openConnections() == 0; }, 10000));
}

INSTANTIATE_TEST_SUITE_P(Replies, StuckFlagServer,
                         ::testing::Values(StuckReply{"Silent", Script().send(kStuckHead + "part").hang()},
                                           StuckReply{"Trickle", Script().send(kStuckHead).trickle(QByteArray(), 200)}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

class HostileUpdateServer : public UpdateCheckFixture
{
protected:
    void checkManually(const Script& script)
    {
        ASSERT_TRUE(server.start(script));
        check->CheckForUpdate(true, server.url(QStringLiteral("/update/?&LANG=English")));
    }
};

} // namespace

TEST_F(HostileUpdateServer, EndlessAnswerEndsAtTheBodyLimitAsAFailure)
{
    const qint64 before = residentKiB();
    qint64 peak = before;
    checkManually(Script().send("HTTP/1.1 200 OK\r\n\r\nmagicword=open-sesame\r\nResult=1\r\n").stream(-1));
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = qMax(peak, residentKiB());
            return !check->UpdateBusy();
        },
        15000));
    EXPECT_EQ(services.errors, QList<int>{1011});
    EXPECT_TRUE(services.messages.isEmpty());
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_LT(server.bytesSent(), 64 * kMiB);
    EXPECT_LT(peak - before, kGrowthBoundKiB);
}

TEST_F(HostileUpdateServer, DestroyingTheChannelDuringAStuckAnswerCompletesNothing)
{
    for (const Script& script : {Script().send(ScriptedHttpServer::httpHead(200, 100)).hang(),
                                 Script().send("HTTP/1.1 200 OK\r\n\r\n").trickle(QByteArray(), 100)}) {
        ScriptedHttpServer peer;
        ASSERT_TRUE(peer.start(script));
        auto own = std::make_unique<TIEDownload>();
        QSignalSpy complete(own.get(), &TIEDownload::OnDownloadComplete);
        own->StartRequest(peer.url(QStringLiteral("/update/?&LANG=English")));
        ASSERT_TRUE(waitUntil([&] { return peer.bytesSent() > 30; }, 10000));
        own.reset();
        EXPECT_TRUE(waitUntil([&] { return peer.openConnections() == 0; }, 10000));
        EXPECT_EQ(complete.count(), 0);
    }
}

namespace {

class HostileListServer : public ::testing::Test
{
protected:
    HostileListServer() { platform::setProcessProxy(QString()); }
    ScriptedHttpServer server;
};

} // namespace

TEST_F(HostileListServer, DeclaredGigabytesFailBeforeTheBodyIsRead)
{
    ASSERT_TRUE(server.start(Script().send(ScriptedHttpServer::httpHead(200, 3 * kGiB)).stream(3 * kGiB)));
    HttpClient client;
    const HttpResponse response = client.get(server.url(QStringLiteral("/getproxy.php")));
    EXPECT_FALSE(response.ok);
    EXPECT_TRUE(response.body.isEmpty());
    EXPECT_LT(server.bytesSent(), 16 * kMiB);
}

TEST_F(HostileListServer, AbortFlagEndsTrickleAndSilence)
{
    for (const Script& script :
         {Script().send("HTTP/1.1 200 OK\r\n\r\n").trickle(QByteArray(), 1000), Script().withoutRequest().hang()}) {
        ScriptedHttpServer peer;
        ASSERT_TRUE(peer.start(script));
        auto abort = std::make_shared<std::atomic_bool>(false);
        std::atomic_bool finished{false};
        auto download = std::async(std::launch::async, [&] {
            HttpClient client;
            client.setAbortFlag(abort);
            HttpResponse response = client.get(peer.url(QStringLiteral("/getproxy.php")));
            finished.store(true);
            return response;
        });
        ASSERT_TRUE(waitUntil([&] { return peer.connections() == 1; }, 10000));
        abort->store(true);
        ASSERT_TRUE(waitUntil([&] { return finished.load(); }, 10000));
        EXPECT_FALSE(download.get().ok);
    }
}
