#include "app/InstanceMessages.h"
#include "platform/CompanionIdentity.h"
#include "platform/NativeMessageFrame.h"
#include "platform/UnixInstanceChannel.h"
#include "browsers/CompanionHub.h"
#include "support/CompanionPeer.h"
#include "support/Wait.h"
#include "support/TempDir.h"

#include "ProgramProcess.h"

#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

using platform::NativeMessageFrame;
using testsupport::waitUntil;

namespace {

const QStringList kFirefoxArgs = {QStringLiteral("/home/u/.mozilla/native-messaging-hosts/org.veilport.companion.json"),
                                  QString(platform::companion::FirefoxExtensionId)};

// The real host executable, copied beside a const.dat of its own so that it finds this test's channel
// and no other copy of the program on the machine; the test plays the running program.
class CompanionHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        host = apptest::installCompanionHost(dir, QStringLiteral("program"), name);
        ASSERT_FALSE(host.isEmpty());
    }

    void serve()
    {
        ASSERT_TRUE(channel.claim(name));
        channel.serveSessions(WM_COMPANION_SESSION,
                              [this](int fd, const QByteArray& greeting) { hub.adopt(fd, greeting); });
    }

    void startHost(const QStringList& args)
    {
        process.start(host, args);
        ASSERT_TRUE(process.waitForStarted(5000));
    }

    void write(const QJsonObject& message) { process.write(NativeMessageFrame::encode(message)); }

    // The next message the host hands to the browser.
    std::optional<QJsonObject> read(int timeoutMs = 5000)
    {
        std::optional<QJsonObject> result;
        waitUntil(
            [&] {
                m_out += process.readAllStandardOutput();
                QJsonObject message;
                if (NativeMessageFrame::take(m_out, message) == NativeMessageFrame::Result::Complete)
                    result = message;
                return result.has_value();
            },
            timeoutMs);
        return result;
    }

    bool hostEnds(int timeoutMs = 5000)
    {
        return waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }

    void TearDown() override
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    testsupport::TempDir dir;
    QString host;
    QString name;
    platform::UnixInstanceChannel channel;
    CompanionHub hub;
    QProcess process;

private:
    QByteArray m_out;
};

} // namespace

TEST_F(CompanionHostTest, RelaysCommandsAndAnswersUntilTheBrowserCloses)
{
    serve();
    startHost(kFirefoxArgs);
    write({{"type", "hello"}, {"browser", "firefox"}, {"version", "1.0.0"}});
    ASSERT_TRUE(waitUntil([&] { return hub.connectedBrowsers() == QStringList{"firefox"}; }, 5000));

    hub.setProxy(QStringLiteral("127.0.0.1:8080"));
    const auto set = read();
    ASSERT_TRUE(set);
    EXPECT_EQ(set->value("cmd").toString(), "setProxy");
    EXPECT_EQ(set->value("port").toInt(), 8080);
    const auto webRtc = read();
    ASSERT_TRUE(webRtc);
    EXPECT_EQ(webRtc->value("cmd").toString(), "setWebRtc");
    EXPECT_TRUE(webRtc->value("protect").toBool());

    std::optional<CompanionClearOutcome> outcome;
    hub.clearBrowsingData([&](const CompanionClearOutcome& o) { outcome = o; });
    const auto clear = read();
    ASSERT_TRUE(clear);
    ASSERT_EQ(clear->value("cmd").toString(), "clearData");
    write({{"type", "result"}, {"cmd", "clearData"}, {"id", clear->value("id")}, {"ok", true}});
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 5000));
    EXPECT_EQ(outcome->cleared, QStringList{"firefox"});
    EXPECT_TRUE(outcome->failed.isEmpty());

    // The browser closes the pipe (the extension went away): the host ends and so does the session.
    process.closeWriteChannel();
    ASSERT_TRUE(hostEnds());
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return hub.connectedBrowsers().isEmpty(); }, 5000));
}

TEST_F(CompanionHostTest, RefusesStrangersAndMessagesThatAreNotTheCompanions)
{
    serve();
    // Another extension's id, an unknown origin, no arguments: refused before the program is reached.
    for (const QStringList& args :
         {QStringList{QStringLiteral("/m.json"), QStringLiteral("other@example.org")},
          QStringList{QStringLiteral("chrome-extension://abcdefghijklmnopabcdefghijklmnop/")}, QStringList{}}) {
        startHost(args);
        ASSERT_TRUE(hostEnds());
        EXPECT_EQ(process.exitCode(), 1);
    }
    EXPECT_TRUE(hub.connectedBrowsers().isEmpty());

    // An oversized announcement and bytes that are not JSON end the host and its session.
    const quint32 huge = NativeMessageFrame::MaxMessage + 1;
    for (const QByteArray& bad :
         {QByteArray(reinterpret_cast<const char*>(&huge), 4), QByteArray("\x05\0\0\0{oops", 9)}) {
        startHost({QStringLiteral("chrome-extension://%1/").arg(platform::companion::ChromiumExtensionId)});
        ASSERT_TRUE(waitUntil([&] { return hub.connectedBrowsers().size() == 1; }, 5000));
        process.write(bad);
        ASSERT_TRUE(hostEnds());
        EXPECT_TRUE(waitUntil([&] { return hub.connectedBrowsers().isEmpty(); }, 5000));
    }
}

TEST_F(CompanionHostTest, AHostStartedByAnotherUsersBrowserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start the host as nobody";
    serve();
    // The copy must be reachable by nobody; the folder is this test's own.
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
    QFile::setPermissions(host, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);
    process.setChildProcessModifier([] {
        constexpr uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0)
            ::_exit(90);
    });
    startHost(kFirefoxArgs);
    const auto answer = read();
    ASSERT_TRUE(hostEnds());
    ASSERT_NE(process.exitCode(), 90) << "could not become nobody";
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->value("type").toString(), "error");
    EXPECT_TRUE(hub.connectedBrowsers().isEmpty());
}

TEST_F(CompanionHostTest, WithoutTheProgramTheHostSaysSoAndEnds)
{
    startHost(kFirefoxArgs);
    const auto error = read();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->value("type").toString(), "error");
    ASSERT_TRUE(hostEnds());
    EXPECT_EQ(process.exitCode(), 0);
}
