#include "browsers/DesktopProxyState.h"
#include "browsers/GnomeProxySettings.h"
#include "browsers/KdeProxySettings.h"

#include "support/GnomeProxyKeys.h"
#include "support/BrowserTestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>

using platform::GnomeProxySettings;
using platform::KdeProxySettings;
using testsupport::BrowserTestHome;
using testsupport::kGnomeProxy;
using testsupport::kGnomeProxyHttp;
using testsupport::kGnomeProxyHttps;
using testsupport::kGnomeProxySocks;

namespace {

// Sets a key with the gsettings tool directly, as the user's own settings dialog would.
void gsettingsSet(const QString& schema, const QString& key, const QString& value)
{
    QProcess::execute(QStringLiteral("gsettings"), {QStringLiteral("set"), schema, key, value});
}

// Reads a key with the gsettings tool, as another program on the desktop would.
QString gsettingsGet(const QString& schema, const QString& key)
{
    QProcess tool;
    tool.start(QStringLiteral("gsettings"), {QStringLiteral("get"), schema, key});
    tool.waitForFinished(10000);
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

class GnomeProxySettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!gnome.isAvailable())
            GTEST_SKIP() << "the org.gnome.system.proxy schema is not installed";
    }
    BrowserTestHome home;
    GnomeProxySettings gnome;
};

} // namespace

TEST_F(GnomeProxySettingsTest, AProxySetsManualModeWithHostAndPortAndClearingSetsNone)
{
    ASSERT_TRUE(gnome.apply(QStringLiteral("10.0.0.1:3128")));
    EXPECT_EQ(gnome.readKey(kGnomeProxy, QStringLiteral("mode")), QStringLiteral("'manual'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'10.0.0.1'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("port")), QStringLiteral("3128"));
    // Written to the home's own keyfile, synced before apply returned.
    const QByteArray keyfile = home.dir().read(QStringLiteral("config/glib-2.0/settings/keyfile"));
    EXPECT_TRUE(keyfile.contains("mode='manual'")) << keyfile.constData();

    // Other programs read the same file the same way.
    EXPECT_EQ(gsettingsGet(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'10.0.0.1'"));
    EXPECT_EQ(gsettingsGet(kGnomeProxyHttps, QStringLiteral("port")), QStringLiteral("3128"));

    ASSERT_TRUE(gnome.apply(QString()));
    EXPECT_EQ(gnome.readKey(kGnomeProxy, QStringLiteral("mode")), QStringLiteral("'none'"));
    EXPECT_EQ(gsettingsGet(kGnomeProxy, QStringLiteral("mode")), QStringLiteral("'none'"));
}

TEST_F(GnomeProxySettingsTest, EachPrivateHomeOfTheProcessGetsItsOwnKeyfile)
{
    ASSERT_TRUE(gnome.apply(QStringLiteral("10.0.0.1:3128")));
    {
        // A second home later in the same process: written there, and the first one left as it was.
        BrowserTestHome second;
        ASSERT_TRUE(gnome.apply(QStringLiteral("10.0.0.2:8080"), false));
        EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'10.0.0.2'"));
        EXPECT_EQ(gsettingsGet(kGnomeProxyHttps, QStringLiteral("host")), QStringLiteral("''"));
        EXPECT_TRUE(second.dir().read(QStringLiteral("config/glib-2.0/settings/keyfile")).contains("'10.0.0.2'"));
    }
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'10.0.0.1'"));
    EXPECT_FALSE(home.dir().read(QStringLiteral("config/glib-2.0/settings/keyfile")).contains("10.0.0.2"));
}

TEST_F(GnomeProxySettingsTest, LeavesTheUsersOtherProxyKeysAlone)
{
    gsettingsSet(kGnomeProxy, QStringLiteral("ignore-hosts"), QStringLiteral("['intranet.local']"));
    gsettingsSet(kGnomeProxy, QStringLiteral("autoconfig-url"), QStringLiteral("'http://wpad/proxy.pac'"));
    gsettingsSet(kGnomeProxySocks, QStringLiteral("host"), QStringLiteral("'socks.lan'"));

    ASSERT_TRUE(gnome.apply(QStringLiteral("1.2.3.4:8080")));
    ASSERT_TRUE(gnome.apply(QString()));

    EXPECT_EQ(gnome.readKey(kGnomeProxy, QStringLiteral("ignore-hosts")), QStringLiteral("['intranet.local']"));
    EXPECT_EQ(gnome.readKey(kGnomeProxy, QStringLiteral("autoconfig-url")), QStringLiteral("'http://wpad/proxy.pac'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxySocks, QStringLiteral("host")), QStringLiteral("'socks.lan'"));
}

// GNOME's SOCKS host carries every scheme only while no http or https host is set, and is the fallback of
// every scheme they leave out otherwise: one of ours must not outlive the SOCKS5 proxy it was written for.
TEST_F(GnomeProxySettingsTest, ASocks5ProxyIsTheOnlyHostAndGoesWithTheNextChange)
{
    ASSERT_TRUE(gnome.apply(QStringLiteral("1.2.3.4:8080")));
    ASSERT_TRUE(gnome.apply(QStringLiteral("socks5://10.0.0.5:1080"), false));
    EXPECT_EQ(gsettingsGet(kGnomeProxy, QStringLiteral("mode")), QStringLiteral("'manual'"));
    EXPECT_EQ(gsettingsGet(kGnomeProxySocks, QStringLiteral("host")), QStringLiteral("'10.0.0.5'"));
    EXPECT_EQ(gsettingsGet(kGnomeProxySocks, QStringLiteral("port")), QStringLiteral("1080"));
    EXPECT_EQ(gsettingsGet(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("''"));
    EXPECT_EQ(gsettingsGet(kGnomeProxyHttps, QStringLiteral("host")), QStringLiteral("''"));
    // The log-in guard knows it by its text, and tells the kinds apart.
    EXPECT_TRUE(platform::desktopNamesProxy(QStringLiteral("socks5://10.0.0.5:1080")));
    EXPECT_FALSE(platform::desktopNamesProxy(QStringLiteral("10.0.0.5:1080")));

    ASSERT_TRUE(gnome.apply(QStringLiteral("1.2.3.4:8080")));
    EXPECT_EQ(gsettingsGet(kGnomeProxySocks, QStringLiteral("host")), QStringLiteral("''"));
    EXPECT_EQ(gsettingsGet(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'1.2.3.4'"));
    EXPECT_FALSE(platform::desktopNamesProxy(QStringLiteral("socks5://10.0.0.5:1080")));

    ASSERT_TRUE(gnome.apply(QStringLiteral("socks5://10.0.0.5:1080")));
    ASSERT_TRUE(gnome.apply(QString()));
    EXPECT_EQ(gsettingsGet(kGnomeProxy, QStringLiteral("mode")), QStringLiteral("'none'"));
    EXPECT_EQ(gsettingsGet(kGnomeProxySocks, QStringLiteral("host")), QStringLiteral("''"));
}

TEST_F(GnomeProxySettingsTest, AProxyTextThatIsNoAddressLeavesTheDesktopDirect)
{
    ASSERT_TRUE(gnome.apply(QStringLiteral("1.2.3.4:8080")));
    EXPECT_FALSE(gnome.apply(QStringLiteral("evil' host:80")));
    EXPECT_EQ(gnome.readKey(kGnomeProxy, QStringLiteral("mode")), QStringLiteral("'none'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'1.2.3.4'"));
}

TEST(GnomeProxySettings, QuotesTextsAsGVariantStrings)
{
    EXPECT_EQ(platform::gvariantStringLiteral(QStringLiteral("a'b\\c")), QStringLiteral("'a\\'b\\\\c'"));
    // A schema folder without the proxy schema: nothing to write.
    EXPECT_FALSE(GnomeProxySettings(QStringLiteral("/nonexistent/schemas")).isAvailable());
    EXPECT_TRUE(GnomeProxySettings(QStringLiteral("/nonexistent/schemas"))
                    .readKey(kGnomeProxy, QStringLiteral("mode"))
                    .isEmpty());
}

TEST(KdeProxySettings, WritesKioslavercAndKeepsTheRestOfIt)
{
    BrowserTestHome home;
    KdeProxySettings kde;
    EXPECT_EQ(kde.fileName(), home.configFolder() + QStringLiteral("/kioslaverc"));
    EXPECT_FALSE(kde.isAvailable()); // no KDE session, no file

    home.dir().write(QStringLiteral("config/kioslaverc"),
                     "[Cache]\nMaxCacheSize=5120\n\n[Proxy Settings]\nNoProxyFor=localhost\nProxyType=0\n");
    EXPECT_TRUE(kde.isAvailable());

    ASSERT_TRUE(kde.apply(QStringLiteral("10.0.0.1:3128")));
    EXPECT_EQ(home.dir().read(QStringLiteral("config/kioslaverc")),
              QByteArray("[Cache]\nMaxCacheSize=5120\n\n[Proxy Settings]\nNoProxyFor=localhost\nProxyType=1\n"
                         "httpProxy=http://10.0.0.1 3128\nhttpsProxy=http://10.0.0.1 3128\n"));

    ASSERT_TRUE(kde.apply(QString()));
    EXPECT_EQ(home.dir().read(QStringLiteral("config/kioslaverc")),
              QByteArray("[Cache]\nMaxCacheSize=5120\n\n[Proxy Settings]\nNoProxyFor=localhost\nProxyType=0\n"
                         "httpProxy=http://10.0.0.1 3128\nhttpsProxy=http://10.0.0.1 3128\n"));
}

TEST(KdeProxySettings, ASocks5ProxyIsTheOnlyEntryAndGoesWithTheNextChangeButTheUsersOwnStays)
{
    BrowserTestHome home;
    home.dir().write(QStringLiteral("config/kioslaverc"), "[Proxy Settings]\nProxyType=0\n");
    KdeProxySettings kde;
    ASSERT_TRUE(kde.apply(QStringLiteral("10.0.0.1:3128")));
    ASSERT_TRUE(kde.apply(QStringLiteral("socks5://10.0.0.5:1080")));
    EXPECT_EQ(home.dir().read(QStringLiteral("config/kioslaverc")),
              QByteArray("[Proxy Settings]\nProxyType=1\nhttpProxy=\nhttpsProxy=\nsocksProxy=socks://10.0.0.5 1080\n"));
    EXPECT_TRUE(platform::desktopNamesProxy(QStringLiteral("socks5://10.0.0.5:1080")));

    ASSERT_TRUE(kde.apply(QString()));
    EXPECT_EQ(home.dir().read(QStringLiteral("config/kioslaverc")),
              QByteArray("[Proxy Settings]\nProxyType=0\nhttpProxy=\nhttpsProxy=\nsocksProxy=\n"));

    // A SOCKS proxy the user set in KDE's dialog is not ours to clear.
    home.dir().write(QStringLiteral("config/kioslaverc"),
                     "[Proxy Settings]\nProxyType=0\nsocksProxy=socks://socks.lan 1080\n");
    ASSERT_TRUE(kde.apply(QStringLiteral("10.0.0.1:3128")));
    EXPECT_TRUE(home.dir().read(QStringLiteral("config/kioslaverc")).contains("socksProxy=socks://socks.lan 1080\n"));
}

TEST(KdeProxySettings, AKioslavercThatCannotBeReadIsLeftAsItIs)
{
    // A pipe cannot be read without blocking; an unreadable file stands for the same case, but root reads anything.
    BrowserTestHome home;
    const QString file = KdeProxySettings().fileName();
    QDir().mkpath(QFileInfo(file).absolutePath());
    ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    EXPECT_FALSE(KdeProxySettings().apply(QStringLiteral("10.0.0.1:3128")));
    struct stat info = {};
    ASSERT_EQ(::lstat(QFile::encodeName(file).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the file was replaced";
}

TEST(KdeProxySettings, AKdeSessionWithoutAFileGetsOne)
{
    BrowserTestHome home;
    testsupport::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "KDE");
    KdeProxySettings kde;
    ASSERT_TRUE(kde.isAvailable());
    ASSERT_TRUE(kde.apply(QStringLiteral("proxy.example:80")));
    EXPECT_EQ(home.dir().read(QStringLiteral("config/kioslaverc")),
              QByteArray("[Proxy Settings]\nProxyType=1\nhttpProxy=http://proxy.example 80\n"
                         "httpsProxy=http://proxy.example 80\n"));

    EXPECT_FALSE(kde.apply(QStringLiteral("no port")));
    EXPECT_TRUE(home.dir().read(QStringLiteral("config/kioslaverc")).contains("ProxyType=0"));
}
