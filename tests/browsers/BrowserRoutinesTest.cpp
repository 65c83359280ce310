#include "browsers/TBrowserRoutines.h"

#include "config/TSettings.h"
#include "browsers/GnomeProxySettings.h"
#include "browsers/KdeProxySettings.h"
#include "platform/ProcessProxy.h"
#include "platform/ProcessRunner.h"
#include "platform/UrlCache.h"
#include "support/GnomeProxyKeys.h"
#include "support/BrowserTestHome.h"
#include "support/RecordingEngineServices.h"
#include "support/FakeUrlCache.h"

#include <QNetworkProxy>

#include <gtest/gtest.h>

using platform::UrlCache;
using testsupport::BrowserTestHome;
using testsupport::FakeUrlCache;
using testsupport::kGnomeProxy;
using testsupport::kGnomeProxyHttp;
using testsupport::kGnomeProxyHttps;
using testsupport::RecordingEngineServices;

namespace {

// The system proxy step over a private home's GSettings keyfile and kioslaverc.
class SystemProxyTest : public ::testing::Test
{
protected:
    SystemProxyTest() : routines(makePlatform())
    {
        home.dir().write(QStringLiteral("config/kioslaverc"), "[Proxy Settings]\nProxyType=0\n");
    }

    TBrowserRoutines::Platform makePlatform()
    {
        TBrowserRoutines::Platform p;
        p.settings = Settings();
        p.services = &services;
        p.desktopProxies = {&gnome, &kde};
        p.processes = &processes;
        return p;
    }

    QString mode() const { return gnome.readKey(kGnomeProxy, QStringLiteral("mode")); }
    QByteArray kioslaverc() { return home.dir().read(QStringLiteral("config/kioslaverc")); }

    BrowserTestHome home;
    RecordingEngineServices services;
    platform::GnomeProxySettings gnome;
    platform::KdeProxySettings kde;
    platform::LocalProcessRunner processes;
    TBrowserRoutines routines;
};

} // namespace

TEST_F(SystemProxyTest, AppliedProxyReachesTheProcessGnomeAndKde)
{
    if (!gnome.isAvailable())
        GTEST_SKIP() << "no GSettings proxy schema";
    routines.SetIEProxy(QStringLiteral("1.2.3.4:8080"));

    EXPECT_EQ(platform::processProxy(), QStringLiteral("1.2.3.4:8080"));
    EXPECT_EQ(QNetworkProxy::applicationProxy().type(), QNetworkProxy::HttpProxy);
    EXPECT_EQ(mode(), QStringLiteral("'manual'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'1.2.3.4'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("port")), QStringLiteral("8080"));
    // Browsers send secure pages direct unless the https keys name the proxy too.
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttps, QStringLiteral("host")), QStringLiteral("'1.2.3.4'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttps, QStringLiteral("port")), QStringLiteral("8080"));
    EXPECT_EQ(kioslaverc(), QByteArray("[Proxy Settings]\nProxyType=1\nhttpProxy=http://1.2.3.4 8080\n"
                                       "httpsProxy=http://1.2.3.4 8080\n"));
    EXPECT_TRUE(services.messages.isEmpty());

    routines.SetIEProxy(QString());
    EXPECT_TRUE(platform::processProxy().isEmpty());
    EXPECT_EQ(QNetworkProxy::applicationProxy().type(), QNetworkProxy::NoProxy);
    EXPECT_EQ(mode(), QStringLiteral("'none'"));
    EXPECT_TRUE(kioslaverc().contains("ProxyType=0"));
}

TEST_F(SystemProxyTest, WithSecurePagesNotHiddenOnlyPlainPagesGoThroughTheProxy)
{
    if (!gnome.isAvailable())
        GTEST_SKIP() << "no GSettings proxy schema";
    routines.SetIEProxy(QStringLiteral("1.2.3.4:8080"));
    Settings()->WriteBool(QStringLiteral("HideHttps"), false);
    routines.SetIEProxy(QStringLiteral("5.6.7.8:3128"));
    EXPECT_EQ(mode(), QStringLiteral("'manual'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, QStringLiteral("host")), QStringLiteral("'5.6.7.8'"));
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttps, QStringLiteral("host")), QStringLiteral("''"));
    EXPECT_EQ(kioslaverc(), QByteArray("[Proxy Settings]\nProxyType=1\nhttpProxy=http://5.6.7.8 3128\n"
                                       "httpsProxy=\n"));
}

TEST_F(SystemProxyTest, TurnedOffSystemProxyBehavesAsAnEmptyProxy)
{
    if (!gnome.isAvailable())
        GTEST_SKIP() << "no GSettings proxy schema";
    routines.SetIEProxy(QStringLiteral("1.2.3.4:8080"));
    Settings()->WriteBool(QStringLiteral("IE"), false);

    routines.SetIEProxy(QStringLiteral("5.6.7.8:3128"));
    EXPECT_EQ(mode(), QStringLiteral("'none'"));
    EXPECT_TRUE(platform::processProxy().isEmpty());
    EXPECT_TRUE(kioslaverc().contains("ProxyType=0"));
    EXPECT_FALSE(kioslaverc().contains("5.6.7.8"));
}

TEST_F(SystemProxyTest, AProxyTheProcessCannotUseIsReportedOnceAndTheDesktopStaysDirect)
{
    routines.SetIEProxy(QStringLiteral("no-port-here"));
    ASSERT_EQ(services.messages.size(), 1);
    EXPECT_EQ(services.messages[0].key,
              QStringLiteral("Setting the desktop proxy failed. Please restart Veilport to try again."));
    EXPECT_EQ(services.messages[0].msgType, TEngineServices::mtError);
    EXPECT_EQ(services.messages[0].buttons, TEngineServices::mbOK);
    EXPECT_EQ(services.messages[0].showAgainId, 0);
    EXPECT_TRUE(kioslaverc().contains("ProxyType=0"));
    if (gnome.isAvailable()) {
        EXPECT_NE(mode(), QStringLiteral("'manual'"));
    }
}

TEST(BrowserRoutines, WithoutASettingsStoreNeitherTheDesktopNorOperaIsTouched)
{
    BrowserTestHome home;
    home.dir().write(QStringLiteral("config/kioslaverc"), "[Proxy Settings]\nProxyType=0\n");
    const QString opera = QStringLiteral("config/Opera/Opera/profile/opera6.ini");
    home.dir().write(opera, "[Proxy]\nUse HTTP=0\n");
    platform::KdeProxySettings kde;
    TBrowserRoutines::Platform p;
    p.desktopProxies = {&kde};
    TBrowserRoutines routines(p);
    platform::setProcessProxy(QString());
    DoneSettings();

    routines.SetIEProxy(QStringLiteral("1.2.3.4:8080"));
    routines.SetOperaProxy(QStringLiteral("1.2.3.4:8080"));
    EXPECT_TRUE(platform::processProxy().isEmpty());
    EXPECT_EQ(home.dir().read(QStringLiteral("config/kioslaverc")), QByteArray("[Proxy Settings]\nProxyType=0\n"));
    EXPECT_EQ(home.dir().read(opera), QByteArray("[Proxy]\nUse HTTP=0\n"));
}

TEST(ClearIECookies, DeletesCookieHistoryAndPageEntriesAndKeepsTheRest)
{
    FakeUrlCache cache;
    cache.add(QStringLiteral("Cookie:sid@example.com/"), UrlCache::CookieEntry);
    cache.add(QStringLiteral("Visited: https://example.com/"), UrlCache::UrlHistoryEntry);
    cache.add(QStringLiteral("https://example.com/logo.png"), UrlCache::NormalEntry);
    cache.add(QStringLiteral("https://example.com/sticky.js"), 0x00000004);
    cache.add(QStringLiteral("Cookie:both@example.com/"), UrlCache::CookieEntry | 0x00000004);
    cache.add(QStringLiteral("https://example.com/edited"), 0x00000008);
    TBrowserRoutines::Platform p;
    p.urlCache = &cache;
    TBrowserRoutines routines(p);

    routines.ClearIECookies();
    EXPECT_EQ(cache.remaining(), (QStringList{QStringLiteral("https://example.com/sticky.js"),
                                              QStringLiteral("https://example.com/edited")}));
    EXPECT_EQ(cache.deleted().size(), 4);

    // An empty cache, or none at all, is simply nothing to do.
    FakeUrlCache empty;
    routines.setUrlCache(&empty);
    routines.ClearIECookies();
    EXPECT_TRUE(empty.deleted().isEmpty());
    routines.setUrlCache(nullptr);
    routines.ClearIECookies();
}
