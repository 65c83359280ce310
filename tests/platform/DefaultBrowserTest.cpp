// Opening an address in the user's browser: the command from $BROWSER or the desktop's opener, with
// the address as one argument of a real process (the fake browser records what it was given).
#include "platform/DefaultBrowser.h"

#include "platform/ProcessRunner.h"
#include "support/FakeFirefox.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using platform::LaunchDefaultBrowser;
using testsupport::FakeFirefox;
using testsupport::ScopedEnv;

namespace {

class DefaultBrowser : public ::testing::Test
{
protected:
    QStringList openedWith()
    {
        const auto calls = browser.waitForInvocations(1);
        return calls.isEmpty() ? QStringList{QStringLiteral("(not started)")} : calls[0].args;
    }

    FakeFirefox browser;
    platform::LocalProcessRunner processes;
};

} // namespace

TEST_F(DefaultBrowser, AppendsTheUrlAsOneArgumentWhenTheCommandHasNoPlaceholder)
{
    ScopedEnv command("BROWSER", FakeFirefox::executable().toUtf8());
    const QString url = QStringLiteral("http://h/p?a=1&b=\"x y\";$(id)%s");
    ASSERT_TRUE(LaunchDefaultBrowser(processes, url));
    EXPECT_EQ(openedWith(), QStringList{url});
}

TEST_F(DefaultBrowser, ReplacesEveryPlaceholderAndTriesCommandsInTurn)
{
    ScopedEnv command("BROWSER",
                      "/no/such/browser:" + FakeFirefox::executable().toUtf8() + " --new-window %1 --again=%1");
    ASSERT_TRUE(LaunchDefaultBrowser(processes, QStringLiteral("http://h/%1")));
    EXPECT_EQ(openedWith(), (QStringList{QStringLiteral("--new-window"), QStringLiteral("http://h/%1"),
                                         QStringLiteral("--again=http://h/%1")}));
}

TEST_F(DefaultBrowser, NothingStartsForAnOptionLikeUrlOrWithoutACommandThatStarts)
{
    {
        ScopedEnv command("BROWSER", FakeFirefox::executable().toUtf8());
        EXPECT_FALSE(LaunchDefaultBrowser(processes, QStringLiteral("--headless")));
    }
    ScopedEnv command("BROWSER", "/no/such/browser %1");
    EXPECT_FALSE(LaunchDefaultBrowser(processes, QStringLiteral("http://h/")));
    // Without $BROWSER the desktop's opener is used; with no opener on PATH nothing can start.
    testsupport::TempDir emptyPath;
    ScopedEnv noCommand("BROWSER", "");
    ScopedEnv path("PATH", emptyPath.path().toUtf8());
    EXPECT_FALSE(LaunchDefaultBrowser(processes, QStringLiteral("http://h/")));
    EXPECT_TRUE(browser.invocations().isEmpty());
}
