// The list the service sends, read by the program's own parser: every field must arrive where the program expects it.
#include "HttpExchange.h"
#include "proxy/BrowserControl.h"
#include "proxy/TProxyManager.h"
#include "support/ListServiceFixture.h"
#include "util/EngineServices.h"

#include <gtest/gtest.h>

namespace {

TEST(ListParsedByTheProgram, EveryEntryAndTheLocalPlaceArriveIntact)
{
    testsupport::ListServiceFixture service;
    testsupport::ListServiceOptions options;
    options.localCountry = "Japan";
    options.localLongitude = "139.69";
    options.localLatitude = "35.68";
    ASSERT_TRUE(service.start({{"127.0.0.1:3128", "United States", "-95.7", "37.1"},
                               {"127.0.0.1:3129", "Great Britain", "-0.12", "51.5", "elite proxy"},
                               {"127.0.0.1:3130", "united states", "-80", "25"}},
                              options))
        << service.errorText().toStdString();
    const HttpAnswer a = Get(service.port(), "/getproxy.php?&LANG=English");
    ASSERT_EQ(a.status, 200);

    NullBrowserControl browsers;
    TEngineServices quiet;
    TProxyManager manager(browsers, quiet, TProxyManager::TestUrlForHost(service.host()));
    manager.ProxyListReceived(QString::fromUtf8(a.body));

    EXPECT_EQ(manager.LocalIP(), "127.0.0.1");
    EXPECT_EQ(manager.LocalCountry(), "Japan");
    EXPECT_EQ(manager.LocalLongitude(), "139.69");
    EXPECT_EQ(manager.LocalLatitude(), "35.68");
    EXPECT_EQ(manager.CountryFlag(), service.url("/images/flag/Japan.png"));
    ASSERT_EQ(manager.Proxies().size(), 3);
    const TProxyRec& gb = manager.Proxies()[1];
    EXPECT_EQ(gb.Proxy, "127.0.0.1:3129");
    EXPECT_EQ(gb.Info, "elite proxy");
    EXPECT_EQ(gb.Country, "Great Britain");
    EXPECT_EQ(gb.FlagUrl, service.url("/images/flag/Great%20Britain.png"));
    EXPECT_EQ(gb.Longitude, "-0.12");
    EXPECT_EQ(gb.Latitude, "51.5");
    EXPECT_EQ(manager.Countries(), QStringList({"United States", "Great Britain"}));

    TProxyRec us;
    ASSERT_TRUE(manager.FindProxyByCountry("United States", us));
    EXPECT_EQ(us.Proxy, "127.0.0.1:3128") << "records keep the country exactly as the pool spells it";
    EXPECT_EQ(TProxyManager::TestUrlForHost(service.host()), service.url("/getip.php?VER=2"));
    EXPECT_EQ(Get(service.port(), "/getip.php?VER=1").status, 200);
}

} // namespace
