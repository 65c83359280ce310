#include "browsers/CompanionHub.h"

#include "browsers/CompanionSession.h"
#include "support/CompanionPeer.h"
#include "support/Wait.h"

#include <QEventLoop>
#include <QSet>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>

using testsupport::CompanionPeer;
using testsupport::waitUntil;

namespace {

// The id of the next clearing command the peer receives (proxy commands before it are passed over).
QJsonValue clearingCommandOf(CompanionPeer& peer)
{
    for (auto message = peer.next(); message; message = peer.next()) {
        if (message->value(QStringLiteral("cmd")).toString() == QStringLiteral("clearData"))
            return message->value(QStringLiteral("id"));
    }
    return QJsonValue();
}

// The next command named cmd that the peer receives (others before it are passed over).
std::optional<QJsonObject> nextCommand(CompanionPeer& peer, const QString& cmd, int timeoutMs = 5000)
{
    for (auto message = peer.next(timeoutMs); message; message = peer.next(timeoutMs)) {
        if (message->value(QStringLiteral("cmd")).toString() == cmd)
            return message;
    }
    return std::nullopt;
}

// Whether the next WebRTC command the peer receives asks it to protect; nothing when none comes.
std::optional<bool> nextWebRtcProtect(CompanionPeer& peer)
{
    const auto command = nextCommand(peer, QStringLiteral("setWebRtc"));
    return command ? std::optional<bool>(command->value(QStringLiteral("protect")).toBool()) : std::nullopt;
}

QJsonObject cleared(const QJsonValue& id)
{
    return {{"type", "result"}, {"cmd", "clearData"}, {"id", id}, {"ok", true}};
}

} // namespace

// The host of the first companion has gone, and the hub has not yet heard of it: the clearing's very
// first command fails while the clearing is still being handed out.
TEST(CompanionHub, ACompanionWhoseHostWentAwayBeforeTheClearingLeavesTheOthersResultsIntact)
{
    CompanionHub hub;
    CompanionPeer gone(hub, R"({"browser":"firefox"})");
    CompanionPeer stays(hub, R"({"browser":"chromium"})");
    gone.close();

    int calls = 0;
    std::optional<CompanionClearOutcome> outcome;
    hub.clearBrowsingData([&](const CompanionClearOutcome& o) {
        ++calls;
        outcome = o;
    });
    const QJsonValue id = clearingCommandOf(stays);
    ASSERT_FALSE(id.isUndefined());
    ASSERT_TRUE(stays.send(cleared(id)));

    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 5000));
    EXPECT_EQ(outcome->cleared, QStringList{QStringLiteral("chromium")});
    EXPECT_EQ(outcome->failed, QStringList{QStringLiteral("firefox: disconnected")});
    EXPECT_FALSE(waitUntil([&] { return calls > 1; }, 200));
}

// The clearing's completion opens a message box; while it waits for the user, the browser closes and its
// session goes. Nothing may touch the session afterwards.
TEST(CompanionHub, ACompletionWhoseModalLoopOutlivesTheSessionLeavesNothingBehindToRead)
{
    CompanionHub hub;
    CompanionPeer peer(hub, R"({"browser":"firefox"})");
    bool sessionEndedInsideTheBox = false;
    hub.clearBrowsingData([&](const CompanionClearOutcome&) {
        peer.close();
        QEventLoop box;
        QObject::connect(&hub, &CompanionHub::companionsChanged, &box,
                         [&] { QTimer::singleShot(0, &box, &QEventLoop::quit); });
        QTimer::singleShot(5000, &box, &QEventLoop::quit);
        box.exec();
        sessionEndedInsideTheBox = hub.findChildren<CompanionSession*>().isEmpty();
    });
    const QJsonValue id = clearingCommandOf(peer);
    ASSERT_FALSE(id.isUndefined());
    ASSERT_TRUE(peer.send(cleared(id)));

    ASSERT_TRUE(waitUntil([&] { return sessionEndedInsideTheBox; }, 10000));
    EXPECT_TRUE(hub.connectedBrowsers().isEmpty());
}

TEST(CompanionHub, CompanionsThatFailGoAwayOrStaySilentAreReportedAsNotCleared)
{
    CompanionHub hub;
    hub.setAnswerTimeoutMs(2000);
    CompanionPeer answers(hub, R"({"browser":"firefox"})");
    CompanionPeer fails(hub, R"({"browser":"chromium"})");
    CompanionPeer leaves(hub, R"({"browser":"brave"})");
    CompanionPeer silent(hub, R"({"browser":"vivaldi"})");
    // A proxy applied before is handed to a companion that connects later.
    hub.setProxy(QStringLiteral("10.1.2.3:3128"));
    CompanionPeer late(hub, R"({"browser":"google-chrome"})");
    const auto lateProxy = nextCommand(late, QStringLiteral("setProxy"));
    ASSERT_TRUE(lateProxy);
    EXPECT_EQ(lateProxy->value("host").toString(), "10.1.2.3");

    std::optional<CompanionClearOutcome> outcome;
    hub.clearBrowsingData([&](const CompanionClearOutcome& o) { outcome = o; });
    const QJsonValue answersId = clearingCommandOf(answers);
    const QJsonValue failsId = clearingCommandOf(fails);
    ASSERT_FALSE(clearingCommandOf(leaves).isUndefined());
    // Someone else's command id is not an answer.
    fails.send(cleared(answersId));
    answers.send(cleared(answersId));
    fails.send({{"type", "result"}, {"cmd", "clearData"}, {"id", failsId}, {"ok", false}, {"error", "refused"}});
    leaves.close();
    late.send(cleared(clearingCommandOf(late)));

    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 5000));
    EXPECT_EQ(QSet<QString>(outcome->cleared.begin(), outcome->cleared.end()),
              (QSet<QString>{"firefox", "google-chrome"}));
    EXPECT_EQ(QSet<QString>(outcome->failed.begin(), outcome->failed.end()),
              (QSet<QString>{"chromium: refused", "brave: disconnected", "vivaldi: no answer"}));

    // A companion that speaks out of turn loses its session.
    answers.sendRaw(QByteArray("\x03\0\0\0[1]", 7));
    EXPECT_TRUE(answers.closedByProgram());
}

// WebRTC follows hiding in every connected browser, also one left out of the proxy and one that connects while
// hiding. A companion that cannot keep WebRTC to the proxy (here one too old to know the command) is reported
// for as long as it is connected, and a later success lifts the report.
TEST(CompanionHub, WebRtcFollowsHidingAndACompanionThatCannotProtectItIsReported)
{
    CompanionHub hub;
    CompanionPeer old(hub, R"({"browser":"firefox"})");
    CompanionPeer chromium(hub, R"({"browser":"chromium"})");
    CompanionProxyChoice firefoxOnly;
    firefoxOnly.chromiumFamily = false;
    hub.setProxy(QStringLiteral("127.0.0.1:3128"), firefoxOnly);
    EXPECT_EQ(nextWebRtcProtect(old), std::optional<bool>(true));
    EXPECT_EQ(nextWebRtcProtect(chromium), std::optional<bool>(true));

    ASSERT_TRUE(
        old.send({{"type", "result"}, {"cmd", "setWebRtc"}, {"id", 0}, {"ok", false}, {"error", "unknown command"}}));
    ASSERT_TRUE(chromium.send(
        {{"type", "result"}, {"cmd", "setWebRtc"}, {"id", 0}, {"ok", false}, {"error", "no privacy permission"}}));
    ASSERT_TRUE(waitUntil([&] { return hub.webRtcUnprotected().size() == 2; }));
    EXPECT_EQ(hub.webRtcUnprotected(), (QStringList{QStringLiteral("firefox: unknown command"),
                                                    QStringLiteral("chromium: no privacy permission")}));
    // Granted at last: that browser is protected now.
    ASSERT_TRUE(chromium.send({{"type", "result"}, {"cmd", "setWebRtc"}, {"id", 0}, {"ok", true}, {"protect", true}}));
    ASSERT_TRUE(waitUntil([&] { return hub.webRtcUnprotected().size() == 1; }));
    EXPECT_EQ(hub.webRtcUnprotected(), QStringList{QStringLiteral("firefox: unknown command")});

    CompanionPeer late(hub, R"({"browser":"firefox"})");
    EXPECT_EQ(nextWebRtcProtect(late), std::optional<bool>(true));

    hub.setProxy(QString());
    EXPECT_EQ(nextWebRtcProtect(chromium), std::optional<bool>(false));
    EXPECT_EQ(nextWebRtcProtect(late), std::optional<bool>(false));
    old.close();
    EXPECT_TRUE(waitUntil([&] { return hub.webRtcUnprotected().isEmpty(); }));

    // Not hiding: a companion that connects now has given its browser back already and is told nothing.
    CompanionPeer idle(hub, R"({"browser":"chromium"})");
    EXPECT_FALSE(nextCommand(idle, QStringLiteral("setWebRtc"), 300));
}

// A SOCKS5 proxy goes out with the names resolved on its side; a companion that set it without saying so (an
// older one, which takes it for an HTTP proxy) leaves its browser telling its own resolver every site.
TEST(CompanionHub, BehindASocks5ProxyOnlyACompanionThatSendsNamesThroughItCountsAsHidden)
{
    CompanionHub hub;
    CompanionPeer peer(hub, R"({"browser":"firefox"})");
    QList<bool> answers;
    QObject::connect(&hub, &CompanionHub::proxyAnswered, &hub,
                     [&](const QString&, bool ok, const QString&) { answers << ok; });
    hub.setProxy(QStringLiteral("socks5://10.0.0.5:1080"));
    std::optional<QJsonObject> command = peer.next();
    ASSERT_TRUE(command);
    EXPECT_EQ(command->value("cmd").toString(), QStringLiteral("setProxy"));
    EXPECT_EQ(command->value("host").toString(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(command->value("port").toInt(), 1080);
    EXPECT_EQ(command->value("scheme").toString(), QStringLiteral("socks5"));
    EXPECT_EQ(command->value("proxyDNS"), QJsonValue(true));

    const QJsonObject setBy = {{"type", "result"}, {"cmd", "setProxy"}, {"id", 0}, {"ok", true}, {"via", "settings"}};
    ASSERT_TRUE(peer.send(setBy));
    QJsonObject withNames = setBy;
    withNames.insert("proxyDNS", true);
    ASSERT_TRUE(peer.send(withNames));
    ASSERT_TRUE(waitUntil([&] { return answers.size() == 2; }, 5000));
    EXPECT_EQ(answers, QList<bool>({false, true}));
}
