#include "net/ServiceRequests.h"

#include "ServiceSettingsFixture.h"
#include "support/FixedSystemInfo.h"
#include "util/SPTools.h"

#include <QDateTime>

#include <gtest/gtest.h>

namespace {

using ServiceRequestsTest = ServiceSettingsFixture;

TEST_F(ServiceRequestsTest, QueryStringNamesTheLanguageInUseAndTheMachine)
{
    TSettings& settings = init();
    testsupport::FixedSystemInfo system;
    // Before the user has chosen, the default language.
    EXPECT_EQ(BuildQueryString(settings, system),
              "&LANG=English&VER=2503&SVER=7&WVER=5_1_Service Pack 2&WLANG=1033&CHL=756E6B6E6F77");
    EXPECT_EQ(system.askedRegPath, "veilport");
    system.major = 6;
    system.minor = 1;
    system.servicePack = "Debian GNU/Linux 12 (bookworm)";
    system.languageId = 1031;
    settings.WriteString("Language", "Deutsch");
    EXPECT_EQ(BuildQueryString(settings, system),
              "&LANG=Deutsch&VER=2503&SVER=7&WVER=6_1_Debian GNU/Linux 12 (bookworm)&WLANG=1031&CHL=756E6B6E6F77");
}

TEST(ServiceRequestsPure, VersionIsFourUpperCaseHexDigitsOfTheLow16Bits)
{
    QueryStringValues values;
    values.versionCode = 0x1A0B;
    EXPECT_TRUE(BuildQueryString(values).contains("&VER=1A0B&"));
    values.versionCode = 0x3;
    EXPECT_TRUE(BuildQueryString(values).contains("&VER=0003&"));
    values.versionCode = 0x12345;
    EXPECT_TRUE(BuildQueryString(values).contains("&VER=2345&"));
}

TEST(ServiceRequestsPure, ChannelIsTheHexCodeOfTheInstallersFileName)
{
    EXPECT_EQ(ChannelCode("unknow"), "756E6B6E6F77");
    EXPECT_EQ(ChannelCode("\"C:\\Downloads\\vp_ch7.exe\""), BytesToHex("vp_ch7.exe"));
    EXPECT_EQ(ChannelCode("\"/home/ann/Downloads/vp_ch7.deb\""), BytesToHex("vp_ch7.deb"));
    EXPECT_EQ(ChannelCode("D:setup.exe"), BytesToHex("setup.exe"));
    EXPECT_EQ(ChannelCode(""), "");
}

TEST_F(ServiceRequestsTest, SiteUrlAddsTheQueryToWebAddresses)
{
    TSettings& settings = init();
    const QString query = "&LANG=English&VER=2503";
    // An address that already has a query: two "&" follow each other.
    EXPECT_EQ(BuildSiteUrl(settings, query, "home", true),
              "http://www.example/home.php?ref=app&&LANG=English&VER=2503&ACTION=home");
    EXPECT_EQ(BuildSiteUrl(settings, query, "home", false), "http://www.example/home.php?ref=app");
    EXPECT_EQ(SitePageUrl(settings, query, "home", 0),
              "http://www.example/home.php?ref=app&&LANG=English&VER=2503&ACTION=home&CPOS=0");
    // The update check asks the service host, not the site.
    EXPECT_EQ(UpdateRequestUrl(settings, "&LANG=English"), "http://service.example:8080/update/?&LANG=English");
}

TEST_F(ServiceRequestsTest, SiteUrlWithoutQuestionMarkStartsTheQuery)
{
    TSettings& settings = init("URL.home=HTTP://www.example/home.php\r\n");
    EXPECT_EQ(BuildSiteUrl(settings, "&LANG=English", "home", true),
              "HTTP://www.example/home.php?&LANG=English&ACTION=home");
}

TEST_F(ServiceRequestsTest, ExePathPageIsAFileBesideTheProgramWithOnlyThePosition)
{
    TSettings& settings = init();
    const QString expected = settings.ProgramFolder() + "help/index.html";
    EXPECT_TRUE(settings.ProgramFolder().endsWith('/'));
    EXPECT_EQ(BuildSiteUrl(settings, "&LANG=English", "help", true), expected);
    EXPECT_EQ(SitePageUrl(settings, "&LANG=English", "help", 0), expected + "&CPOS=0");
}

TEST_F(ServiceRequestsTest, BlankPageFallsBackToTheRedirectAddress)
{
    TSettings& settings = init("URL.help=   \r\n");
    EXPECT_EQ(SitePageUrl(settings, "&LANG=English", "help", 3),
              "http://www.example/redirect.php?&LANG=English&ACTION=help&CPOS=3");
    // A key with no constant at all takes the same way.
    EXPECT_EQ(BuildSiteUrl(settings, "&LANG=English", "faq", false), "http://www.example/redirect.php");
}

// The check page learns the user's own address from its address, so that it can tell whether the address
// it sees is theirs; only address text from the list goes into it, never whatever else the list held.
TEST_F(ServiceRequestsTest, CheckPageAddressCarriesTheQueryAndOnlyAnAddressAsLocalIP)
{
    TSettings& settings = init("URL.CHECK=https://www.example/check\r\n");
    EXPECT_EQ(CheckPageUrl(settings, "&LANG=Deutsch", " 203.0.113.7 "),
              "https://www.example/check?&LANG=Deutsch&ACTION=CHECK&LocalIP=203.0.113.7");
    EXPECT_TRUE(CheckPageUrl(settings, "&LANG=English", "2001:db8::7").endsWith("&LocalIP=2001:db8::7"));
    for (const QString& garbage : QStringList{"1.2.3.4&ACTION=x", "<script>", "1.2.3.4 5.6.7.8", QString(46, '1')})
        EXPECT_TRUE(CheckPageUrl(settings, "&LANG=English", garbage).endsWith("&ACTION=CHECK&LocalIP="))
            << garbage.toStdString();
}

TEST(ServiceRequestsPure, DayNumberCountsLocalDaysFromTheEndOf1899)
{
    EXPECT_EQ(DayNumber(QDateTime(QDate(1899, 12, 31), QTime(0, 0))), 1);
    EXPECT_EQ(DayNumber(QDateTime(QDate(2000, 1, 1), QTime(12, 0))), 36526);
    // Every moment of a day has the same number.
    const QDate day(2026, 12, 9);
    EXPECT_EQ(DayNumber(QDateTime(day, QTime(0, 0))), DayNumber(QDateTime(day, QTime(23, 59, 59))));
    EXPECT_EQ(DayNumber(QDateTime(day.addDays(1), QTime(0, 0))), DayNumber(QDateTime(day, QTime(12, 0))) + 1);
}

} // namespace
