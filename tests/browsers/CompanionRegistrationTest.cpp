#include "browsers/CompanionRegistration.h"

#include "platform/CompanionIdentity.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

QJsonObject readJson(const QString& file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(in.readAll()).object();
}

} // namespace

TEST(CompanionRegistration, AllowsExactlyOurExtensionsInEveryBrowserThatIsThereAndFollowsNoLinks)
{
    testsupport::TempDir dir;
    const QString home = dir.file(QStringLiteral("home"));
    const QString config = dir.file(QStringLiteral("config"));
    QDir().mkpath(config + QStringLiteral("/BraveSoftware/Brave-Browser"));
    // Vivaldi's folder is a link to somewhere else: nothing is written through it.
    testsupport::TempDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), config + QStringLiteral("/vivaldi")));

    const CompanionRegistration::Result result =
        CompanionRegistration::registerHost(QStringLiteral("/opt/veilport/veilport-companion-host"), home, config);

    const QJsonObject firefox = readJson(CompanionRegistration::firefoxManifest(home));
    EXPECT_EQ(firefox.value("name").toString(), QString(platform::companion::HostName));
    EXPECT_EQ(firefox.value("path").toString(), "/opt/veilport/veilport-companion-host");
    EXPECT_EQ(firefox.value("type").toString(), "stdio");
    EXPECT_EQ(firefox.value("allowed_extensions").toArray(),
              QJsonArray{QString(platform::companion::FirefoxExtensionId)});
    EXPECT_FALSE(firefox.contains("allowed_origins"));

    const QJsonArray origins{QStringLiteral("chrome-extension://%1/").arg(platform::companion::ChromiumExtensionId)};
    for (const QString& browser : {QStringLiteral("chromium"), QStringLiteral("BraveSoftware/Brave-Browser")}) {
        const QJsonObject chromium =
            readJson(CompanionRegistration::chromiumManifest(config + QLatin1Char('/') + browser));
        EXPECT_EQ(chromium.value("allowed_origins").toArray(), origins) << browser.toStdString();
        EXPECT_FALSE(chromium.contains("allowed_extensions"));
    }
    // Browsers that are not there get nothing.
    EXPECT_FALSE(QFileInfo::exists(config + QStringLiteral("/google-chrome")));
    EXPECT_EQ(result.registered.size(), 3);
    ASSERT_EQ(result.failed.size(), 1);
    EXPECT_TRUE(result.failed[0].contains(QStringLiteral("vivaldi")));
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}
