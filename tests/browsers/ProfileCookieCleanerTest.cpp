#include "browsers/ProfileCookieCleaner.h"

#include "support/BrowserRunner.h"
#include "support/CookieSite.h"
#include "support/PrivateNetwork.h"
#include "support/Wait.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sqlite3.h>

using testsupport::BrowserLaunch;
using testsupport::BrowserRunner;
using testsupport::waitUntil;
using Browser = testsupport::BrowserLaunch::Browser;

namespace {

// Entered before main() starts any thread, so that nothing the browsers do reaches beyond loopback.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter();

// Rows in the database's cookie table; -1 when it cannot be read.
int cookieRows(const QString& database, bool firefox)
{
    sqlite3* db = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const char* query = firefox ? "SELECT count(*) FROM moz_cookies" : "SELECT count(*) FROM cookies";
        if (sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            rows = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

// Cookie databases as the real browsers write them: a site sets a lasting cookie in a browser that then
// ends by itself; the database is cleared only while no browser holds the profile.
class ProfileCookies : public ::testing::TestWithParam<Browser>
{
protected:
    void SetUp() override
    {
        if (const std::string why = BrowserRunner::whyCannotRun(GetParam(), g_privateNetwork); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(site.start());
    }

    bool firefox() const { return GetParam() == Browser::Firefox; }
    QString home() const { return dir.file(QStringLiteral("home")); }
    QString config() const { return dir.file(QStringLiteral("config")); }
    std::string output() const { return browser.output().right(3000).toStdString(); }

    // The site in the browser, on a profile where the program looks for profiles; no proxy is involved, so the
    // site is reached by its loopback address.
    BrowserLaunch launch() const
    {
        BrowserLaunch launch;
        launch.browser = GetParam();
        launch.url = site.url();
        launch.environment = BrowserRunner::environmentWithoutProxy(home(), config());
        launch.profile = firefox() ? home() + QStringLiteral("/.mozilla/firefox/test.default")
                                   : config() + QStringLiteral("/chromium");
        return launch;
    }

    // The one profile the browser made, found as the program finds it.
    std::optional<ProfileCookieCleaner::Profile> theProfile() const
    {
        const QList<ProfileCookieCleaner::Profile> found = ProfileCookieCleaner::findProfiles(home(), config());
        if (found.size() != 1)
            return std::nullopt;
        return found.first();
    }

    testsupport::TempDir dir;
    testsupport::CookieSite site{QStringLiteral("127.0.0.1")};
    BrowserRunner browser;
};

} // namespace

TEST_P(ProfileCookies, AClosedBrowsersCookiesAreDeletedARunningBrowsersAreLeftAloneAndReported)
{
    const testsupport::BrowserRun run = browser.load(launch());
    ASSERT_TRUE(run.ok()) << run.output.right(3000).toStdString();
    auto profile = theProfile();
    ASSERT_TRUE(profile) << output();
    ASSERT_GT(cookieRows(profile->database, firefox()), 0) << output();

    // Running: the profile is the browser's; nothing is written and the user is told.
    ASSERT_TRUE(browser.start(launch())) << output();
    ASSERT_TRUE(waitUntil([&] { return ProfileCookieCleaner::inUse(*profile); }, 30000)) << output();
    const ProfileCookieCleaner::Result held = ProfileCookieCleaner::clear({*profile});
    EXPECT_TRUE(held.cleared.isEmpty());
    ASSERT_EQ(held.skipped.size(), 1);
    EXPECT_TRUE(held.skipped[0].inUse);
    EXPECT_TRUE(held.skipped[0].text.endsWith(QStringLiteral("in use by the running browser")));
    browser.stop();
    EXPECT_GT(cookieRows(profile->database, firefox()), 0);

    // A link among the profiles to a database elsewhere is not followed.
    testsupport::TempDir elsewhere;
    const QString outside = elsewhere.file(QStringLiteral("profile"));
    QDir().mkpath(outside);
    const QString outsideDb = outside + QStringLiteral("/") + QFileInfo(profile->database).fileName();
    ASSERT_TRUE(QFile::copy(profile->database, outsideDb));
    const QString linkParent =
        firefox() ? home() + QStringLiteral("/.mozilla/firefox") : config() + QStringLiteral("/chromium");
    ASSERT_TRUE(QFile::link(outside, linkParent + QStringLiteral("/Linked")));

    // Closed: its cookies are gone, and only its own.
    profile = theProfile();
    ASSERT_TRUE(profile);
    const ProfileCookieCleaner::Result closed = ProfileCookieCleaner::clear({*profile});
    EXPECT_EQ(closed.cleared, QStringList{profile->label});
    EXPECT_TRUE(closed.skipped.isEmpty());
    EXPECT_EQ(cookieRows(profile->database, firefox()), 0);
    EXPECT_GT(cookieRows(outsideDb, firefox()), 0);
}

TEST(ProfileCookieCleaner, ADatabaseThatIsNotACookieDatabaseIsReportedNotChanged)
{
    testsupport::TempDir dir;
    const QString database =
        dir.write(QStringLiteral("home/.mozilla/firefox/x.default/cookies.sqlite"), "not sqlite at all");
    const QList<ProfileCookieCleaner::Profile> found =
        ProfileCookieCleaner::findProfiles(dir.file(QStringLiteral("home")), dir.file(QStringLiteral("config")));
    ASSERT_EQ(found.size(), 1);
    const ProfileCookieCleaner::Result result = ProfileCookieCleaner::clear(found);
    EXPECT_TRUE(result.cleared.isEmpty());
    ASSERT_EQ(result.skipped.size(), 1);
    EXPECT_FALSE(result.skipped[0].inUse);
    EXPECT_EQ(dir.read(QStringLiteral("home/.mozilla/firefox/x.default/cookies.sqlite")), "not sqlite at all");
}

INSTANTIATE_TEST_SUITE_P(Browsers, ProfileCookies, ::testing::Values(Browser::Chromium, Browser::Firefox),
                         [](const auto& info) { return BrowserRunner::name(info.param).toLower().toStdString(); });
