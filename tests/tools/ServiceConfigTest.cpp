#include "ServiceConfig.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

// Every name reaches its own setting, whatever its case, and the last of a repeated one wins.
TEST(LoadServiceConfig, EveryNameSetsItsOwnSetting)
{
    testsupport::TempDir dir;
    const QString file = dir.write("all.conf", "# comment\n; comment\n[Service]\n"
                                               "LocalCountry = Japan\nLocalLongitude=139.69\nLocalLatitude=35.68\n"
                                               "PublicHost=lists.example:8080\nMagicWord=w\nResult=1\nInfo=i\n"
                                               "Page=http://p/\nInfoText=t\nDatabase=/var/db\n"
                                               "PublicAddress=203.0.113.1:80\nPublicTlsAddress=203.0.113.1:443\n"
                                               "GeoIp=/geo.mmdb\nCheckerAddress=203.0.113.2\nDefaultCountry=Chile\n"
                                               "DEFAULTCOUNTRY=\nCheck=yes\nAllowPrivateAddresses=On\n"
                                               "CheckInterval=11\nCheckConcurrency=2\nCheckTimeout=3\nMaxFailures=4\n"
                                               "ListSize=5\nMaxProxies=6\nHistoryDays=7\n"
                                               "TrustedProxies=10.0.0.1, 192.168.0.0/16\nTrustedProxies=::1 10.0.0.2\n"
                                               "Source=a|csv|http://a/|60|100\nsource=b|pool|/b\n");
    ServiceConfig c;
    QString error;
    ASSERT_TRUE(LoadServiceConfig(file, c, error)) << error.toStdString();
    EXPECT_EQ(c.localCountry, "Japan");
    EXPECT_EQ(c.localLongitude, "139.69");
    EXPECT_EQ(c.localLatitude, "35.68");
    EXPECT_EQ(c.publicHost, "lists.example:8080");
    EXPECT_EQ(c.magicWord, "w");
    EXPECT_EQ(c.updateResult, "1");
    EXPECT_EQ(c.updateInfo, "i");
    EXPECT_EQ(c.updatePage, "http://p/");
    EXPECT_EQ(c.infoText, "t");
    EXPECT_EQ(c.database, "/var/db");
    EXPECT_EQ(c.publicAddress, "203.0.113.1:80");
    EXPECT_EQ(c.publicTlsAddress, "203.0.113.1:443");
    EXPECT_EQ(c.geoIp, "/geo.mmdb");
    EXPECT_EQ(c.checkerAddress, "203.0.113.2");
    EXPECT_EQ(c.defaultCountry, "Chile") << "an empty DefaultCountry keeps the one before";
    EXPECT_TRUE(c.check);
    EXPECT_TRUE(c.allowPrivateAddresses);
    EXPECT_EQ(c.checkIntervalSec, 11);
    EXPECT_EQ(c.checkConcurrency, 2);
    EXPECT_EQ(c.checkTimeoutSec, 3);
    EXPECT_EQ(c.maxFailures, 4);
    EXPECT_EQ(c.listSize, 5);
    EXPECT_EQ(c.maxProxies, 6);
    EXPECT_EQ(c.historyDays, 7);
    EXPECT_EQ(c.trustedProxies, QStringList({"::1", "10.0.0.2"}));
    ASSERT_EQ(c.sources.size(), 2);
    EXPECT_EQ(c.sources[0].name, "a");
    EXPECT_EQ(c.sources[0].format, SourceFormat::Csv);
    EXPECT_EQ(c.sources[0].refreshSec, 60);
    EXPECT_EQ(c.sources[0].maxBytes, 100);
    EXPECT_EQ(c.sources[1].format, SourceFormat::Pool);
}

// A bad line stops the load with the file, the line and the name as the operator wrote it.
TEST(LoadServiceConfig, BadLinesAreNamedWithTheirLineNumber)
{
    struct Case
    {
        const char* text;
        const char* said;
    };
    const Case cases[] = {
        {"Check=on\nnonsense\n", "bad.conf:2: expected Name=Value"},
        {"\n=1\n", "bad.conf:2: expected Name=Value"},
        {"MagicWrod=x\n", "bad.conf:1: unknown name \"MagicWrod\""},
        {"Check=maybe\n", "bad.conf:1: Check is on or off"},
        {"AllowPrivateAddresses=2\n", "bad.conf:1: AllowPrivateAddresses is on or off"},
        {"CheckInterval=9\n", "bad.conf:1: CheckInterval must be 10 to 604800"},
        {"HistoryDays=x\n", "bad.conf:1: HistoryDays must be 1 to 3650"},
        {"TrustedProxies=10.0.0.1,nowhere\n", "bad.conf:1: \"nowhere\" is not an address or subnet"},
        {"Source=a|xml|/a\n", "bad.conf:1: source a: format \"xml\" is not plain"},
        {"Source=a|csv|/a\nSource=a|csv|/b\n", "bad.conf:2: source a named twice"},
        {"LocalLatitude=91\n", "bad.conf: LocalLongitude/LocalLatitude out of range"},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        ServiceConfig config;
        QString error;
        EXPECT_FALSE(LoadServiceConfig(dir.write("bad.conf", c.text), config, error)) << c.text;
        EXPECT_TRUE(error.contains(QLatin1String(c.said))) << c.text << " said: " << error.toStdString();
    }
    ServiceConfig config;
    QString error;
    EXPECT_FALSE(LoadServiceConfig(QStringLiteral("/nonexistent/veilport.conf"), config, error));
    EXPECT_TRUE(error.startsWith("cannot read /nonexistent/veilport.conf")) << error.toStdString();
}

} // namespace
