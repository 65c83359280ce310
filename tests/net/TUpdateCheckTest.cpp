#include "net/TUpdateCheck.h"

#include "UpdateCheckFixture.h"
#include "net/ServiceRequests.h"
#include "net/TIEDownload.h"
#include "net/Transfer.h"
#include "platform/ProcessProxy.h"
#include "support/FixedSystemInfo.h"
#include "support/ListServiceFixture.h"
#include "support/RecordingEngineServices.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QDeadlineTimer>
#include <QTest>

#include <gtest/gtest.h>

using testsupport::ScriptedHttpServer;
using Reply = testsupport::ScriptedHttpServer::Reply;

namespace {

QByteArray answer(const QByteArray& result, const QByteArray& magic = "open-sesame",
                  const QByteArray& page = "http://www.example/get")
{
    return "magicword=" + magic + "\r\nResult=" + result + "\r\ninfo=MSGBOX_NewVersion\r\npage=" + page + "\r\n";
}

// The update check over a real channel talking to a scripted server, with a clock the test sets.
class TUpdateCheckTest : public UpdateCheckFixture
{
protected:
    TUpdateCheckTest() { channel.SetOverallTimeoutMs(4000); }
    QString url() const { return server.url("/update/?&LANG=English"); }
    // Runs the event loop until no request is in flight.
    bool settle(int timeoutMs = 10000)
    {
        return testsupport::waitUntil([this] { return !check->UpdateBusy(); }, timeoutMs);
    }
    int lastUpdateDate() const { return Settings()->ReadInteger("LastUpdateDate", 0); }
};

// The newest version is news only to a user who asked; an offer asks, and only an accepted one opens its page.
TEST_F(TUpdateCheckTest, EachResultShowsWhatItsCallerShouldSee)
{
    struct Case
    {
        QByteArray result;
        bool manual;
        int offerAnswer;
        QStringList shown;
        QStringList opened;
    };
    const Case cases[] = {
        {"0", false, TEngineServices::mrOk, {}, {}},
        {"0", true, TEngineServices::mrOk, {"MSGBOX_LastVersionAlready"}, {}},
        {"soon", true, TEngineServices::mrOk, {"MSGBOX_LastVersionAlready"}, {}}, // no number: the newest
        {"2", true, TEngineServices::mrOk, {}, {}},
        {"-1", true, TEngineServices::mrOk, {}, {}},
        {"1", false, TEngineServices::mrOk, {"MSGBOX_NewVersion"}, {"http://www.example/get"}},
        {"1", true, TEngineServices::mrCancel, {"MSGBOX_NewVersion"}, {}}, // declined by hand: nothing more asked
    };
    for (const Case& c : cases) {
        const std::string name = c.result.toStdString() + (c.manual ? " asked by the user" : " automatic");
        services.messages.clear();
        opened.clear();
        services.answers["MSGBOX_NewVersion"] = c.offerAnswer;
        server.setDefaultReply(Reply::http(200, answer(c.result)));
        check->CheckForUpdate(c.manual, url());
        EXPECT_TRUE(check->UpdateBusy()) << name;
        ASSERT_TRUE(settle()) << name;
        EXPECT_EQ(services.messageKeys(), c.shown) << name;
        EXPECT_EQ(opened, c.opened) << name;
        EXPECT_TRUE(services.errors.isEmpty()) << name;
        for (const auto& message : services.messages) {
            const bool offer = message.key == "MSGBOX_NewVersion";
            EXPECT_EQ(message.msgType, offer ? TEngineServices::mtConfirmation : TEngineServices::mtInformation);
            EXPECT_EQ(message.buttons, offer ? TEngineServices::mbOKCancel : TEngineServices::mbOK);
        }
    }
    EXPECT_EQ(lastUpdateDate(), DayNumber(now));
}

TEST_F(TUpdateCheckTest, DeclinedAutomaticOfferAsksWhetherToKeepChecking)
{
    services.answers["MSGBOX_NewVersion"] = TEngineServices::mrCancel;
    services.answers["MSGBOX_AutoCheckUpdate"] = TEngineServices::mrYes;
    server.setDefaultReply(Reply::http(200, answer("1")));
    check->CheckForUpdate(false, url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(services.messageKeys(), (QStringList{"MSGBOX_NewVersion", "MSGBOX_AutoCheckUpdate"}));
    EXPECT_EQ(services.messages[1].buttons, TEngineServices::mbYesNo);
    EXPECT_TRUE(Settings()->ReadBool("AutoCheckUpdate", true));
    EXPECT_TRUE(opened.isEmpty());

    // No turns the automatic check off; the next day's request is still sent but stays silent.
    services.answers["MSGBOX_AutoCheckUpdate"] = TEngineServices::mrNo;
    now = now.addDays(1);
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_FALSE(Settings()->ReadBool("AutoCheckUpdate", true));
    services.messages.clear();
    now = now.addDays(1);
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 3);
    EXPECT_TRUE(services.messages.isEmpty());
    EXPECT_EQ(lastUpdateDate(), DayNumber(now));
}

TEST_F(TUpdateCheckTest, AnswerNamesIgnoreCaseAndTheFirstLineCounts)
{
    services.answers["first"] = TEngineServices::mrOk;
    server.setDefaultReply(Reply::http(
        200, "MAGICWORD=OPEN-SESAME\nresult=1\rINFO=first\ninfo=second\r\nPage=http://p/\nmagicword=wrong\n"));
    check->CheckForUpdate(true, url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(services.messageKeys(), QStringList{"first"});
    EXPECT_EQ(opened, QStringList{"http://p/"});
}

struct FailureCase
{
    const char* name;
    Reply reply;
};

void PrintTo(const FailureCase& failure, std::ostream* os)
{
    *os << failure.name;
}

class TUpdateCheckFailureTest : public TUpdateCheckTest, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(TUpdateCheckFailureTest, FailureIsReportedToTheUserOnly)
{
    server.setDefaultReply(GetParam().reply);
    check->CheckForUpdate(false, url());
    ASSERT_TRUE(settle());
    EXPECT_TRUE(services.errors.isEmpty());
    EXPECT_TRUE(services.messages.isEmpty());
    EXPECT_EQ(lastUpdateDate(), DayNumber(now));

    check->CheckForUpdate(true, url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(services.errors, QList<int>{1011});
    EXPECT_TRUE(services.messages.isEmpty());
    EXPECT_FALSE(check->UpdateBusy());
    EXPECT_TRUE(opened.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TUpdateCheckFailureTest,
    ::testing::Values(
        FailureCase{"WrongMagicWord", Reply::http(200, answer("1", "proxy-portal"))},
        FailureCase{"NotFound", Reply::http(404, answer("1"))},
        // The page goes to the browser launcher: only web addresses, never an option or a file.
        FailureCase{"PageIsALocalFile", Reply::http(200, answer("1", "open-sesame", "file:///etc/passwd"))},
        FailureCase{"PageIsAnOption", Reply::http(200, answer("1", "open-sesame", "--new-window=x"))},
        FailureCase{"PageIsAScript", Reply::http(200, answer("1", "open-sesame", "javascript:alert(1)"))},
        FailureCase{"PageHasNoHost", Reply::http(200, answer("1", "open-sesame", "http:///etc/passwd"))},
        // A whole answer that came too late counts no more than none at all.
        FailureCase{"SlowFirstByte",
                    Reply().pause(2200).send(ScriptedHttpServer::httpHead(200, answer("0").size()) + answer("0"))},
        FailureCase{"NeverAnswers", Reply().hang()}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Switched off by the user or by the distributor, the automatic check still asks but shows nothing.
TEST_F(TUpdateCheckTest, AutomaticCheckStaysSilentWhenSwitchedOffOrSilencedByTheDistributor)
{
    services.answers["MSGBOX_NewVersion"] = TEngineServices::mrOk;
    server.setDefaultReply(Reply::http(200, answer("1")));
    Settings()->WriteBool("AutoCheckUpdate", false);
    check->CheckForUpdate(false, url());
    ASSERT_TRUE(settle());
    EXPECT_TRUE(services.messages.isEmpty());
    // The user's own check still offers the new version.
    check->CheckForUpdate(true, url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(services.messageKeys(), QStringList{"MSGBOX_NewVersion"});

    services.messages.clear();
    DoneSettings();
    init("Update.NoAutoCheck=1\r\n").WriteBool("AutoCheckUpdate", true);
    makeCheck();
    now = now.addDays(1);
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 3);
    EXPECT_TRUE(services.messages.isEmpty());
}

TEST_F(TUpdateCheckTest, OneAutomaticRequestPerDay)
{
    server.setDefaultReply(Reply::http(200, answer("0")));
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 1);

    // A second run on the same day finds the stored day.
    restart();
    makeCheck();
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 1);

    now = now.addDays(1);
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 2);

    // A clock set back by a day checks again too.
    now = now.addDays(-1);
    check->AutoCheckForUpdate(url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 3);
}

// Checks asked for while one is under way send no request of their own; a user's check takes over the
// answer of an automatic one, and the user is told once.
TEST_F(TUpdateCheckTest, ChecksDuringARequestJoinItAndTheUserIsToldOnce)
{
    server.setDefaultReply(
        Reply().pause(150).send(ScriptedHttpServer::httpHead(200, answer("0").size()) + answer("0")));
    check->AutoCheckForUpdate(url());
    check->CheckForUpdate(true, url());
    EXPECT_TRUE(check->UpdateManual());
    check->CheckForUpdate(true, url());
    ASSERT_TRUE(settle());
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(services.messageKeys(), QStringList{"MSGBOX_LastVersionAlready"});
}

TEST_F(TUpdateCheckTest, LateCompletionWithoutRequestOnlyStoresTheDay)
{
    check->iedNetConnectionComplete(&channel, answer("1"), 0);
    EXPECT_EQ(lastUpdateDate(), DayNumber(now));
    EXPECT_TRUE(services.messages.isEmpty());
}

// The answer can open a page, so only the service may give it. Here the proxy the program applied (and
// the one the environment names) is a real tinyproxy that hands every request to a forger.
TEST_F(TUpdateCheckTest, CheckGoesStraightToTheServiceWhateverProxyIsApplied)
{
    ScriptedHttpServer forger;
    forger.setDefaultReply(Reply::http(200, answer("1", "open-sesame", "http://forger.example/setup")));
    testsupport::TinyproxyFixture proxies;
    proxies.setExtraConfig({QStringLiteral("Upstream http ") + forger.hostPort()});
    ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
    const QByteArray proxy = proxies.proxyText(0).toUtf8();
    ASSERT_TRUE(platform::setProcessProxy(proxies.proxyText(0)));
    testsupport::ScopedEnv lower("http_proxy", "http://" + proxy);
    testsupport::ScopedEnv upper("HTTP_PROXY", "http://" + proxy);

    // Whatever goes through that proxy gets the forged offer.
    TransferOptions options;
    options.url = url().toUtf8();
    options.proxy = proxy;
    options.overallTimeoutMs = 10000;
    QByteArray proxied;
    Transfer through(options);
    through.onBody = [&](const char* data, qint64 bytes) {
        proxied.append(data, bytes);
        return true;
    };
    through.run();
    ASSERT_EQ(proxied, answer("1", "open-sesame", "http://forger.example/setup"));
    ASSERT_EQ(forger.requestCount(), 1);

    server.setDefaultReply(Reply::http(200, answer("0")));
    check->CheckForUpdate(true, url());
    ASSERT_TRUE(settle());
    platform::setProcessProxy(QString());
    EXPECT_EQ(services.messageKeys(), QStringList{"MSGBOX_LastVersionAlready"});
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(forger.requestCount(), 1);
}

TEST_F(TUpdateCheckTest, AnswersOfTheLocalListService)
{
    testsupport::ListServiceFixture service;
    testsupport::ListServiceOptions options;
    options.magicWord = "Open-Sesame";
    options.updateResult = "1";
    options.updateInfo = "A newer Veilport is ready";
    options.updatePage = "http://www.example/download";
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();
    services.answers["A newer Veilport is ready"] = TEngineServices::mrOk;
    // The query string as the program sends it, blanks and all.
    testsupport::FixedSystemInfo system;
    Settings()->WriteString("Language", "English");
    check->CheckForUpdate(true, service.url("/update/?") + BuildQueryString(*Settings(), system));
    ASSERT_TRUE(settle());
    EXPECT_EQ(services.messageKeys(), QStringList{"A newer Veilport is ready"});
    EXPECT_EQ(opened, QStringList{"http://www.example/download"});
    EXPECT_TRUE(services.errors.isEmpty());
}

} // namespace
