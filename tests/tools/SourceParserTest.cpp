// The formats the list service reads its sources in, and the texts it must refuse.
#include "SourceParser.h"

#include <gtest/gtest.h>

namespace {

QStringList Keys(const SourceParseResult& r)
{
    QStringList out;
    for (const SourceEntry& e : r.entries)
        out << e.key() + (e.country.isEmpty() ? QString() : '/' + e.country);
    return out;
}

} // namespace

TEST(SourceParser, ReadsEveryFormatIntoDistinctProxies)
{
    const SourceParseResult plain = ParseSourceText(SourceFormat::Plain,
                                                    "# list\r\n1.2.3.4:8080 elite\r\nproxy.example.org:3128\n[::1]:81\n"
                                                    "1.2.3.4:8080\nno-port\n1.2.3.4:99999\nbad|host:80\n",
                                                    100);
    EXPECT_EQ(Keys(plain), (QStringList{"1.2.3.4:8080", "proxy.example.org:3128", "::1:81"}));
    EXPECT_EQ(plain.duplicates, 1);
    EXPECT_EQ(plain.rejected, 3);

    const SourceParseResult csv = ParseSourceText(
        SourceFormat::Csv, "\"IP\",\"Port\",\"Country\"\n\"5.6.7.8\",\"3128\",\"Germany\"\n9.9.9.9,80\n", 100);
    EXPECT_EQ(Keys(csv), (QStringList{"5.6.7.8:3128/Germany", "9.9.9.9:80"}));
    EXPECT_EQ(Keys(ParseSourceText(SourceFormat::Csv, "\xEF\xBB\xBF\r\nhost,port\r\n1.2.3.4,80\r\n", 100)),
              QStringList{"1.2.3.4:80"})
        << "a byte order mark, then a blank line before the header";

    const SourceParseResult json = ParseSourceText(
        SourceFormat::Json, R"([{"host":"1.1.1.1","port":80},{"ip":"2.2.2.2","port":"8080","country":"Japan|x"},
                              {"ip":"3.3.3.3","port":80.5},{"ip":7,"port":1},"text"])",
        100);
    EXPECT_EQ(Keys(json), (QStringList{"1.1.1.1:80", "2.2.2.2:8080/Japan x"})) << "no source can add a field";
    EXPECT_EQ(json.rejected, 3);

    const SourceParseResult program =
        ParseSourceText(SourceFormat::Veilport,
                        "LocalIP=1.1.1.1\r\nProxyCount=2\r\nProxy_0=4.4.4.4:80|elite|Canada||-75.7|45.4\r\n", 100);
    ASSERT_EQ(Keys(program), (QStringList{"4.4.4.4:80/Canada"}));
    EXPECT_EQ(program.entries[0].longitude, "-75.7");

    const SourceParseResult pool =
        ParseSourceText(SourceFormat::Pool, "127.0.0.1:8881|anonymous|United States||-95.71|37.09\n", 100);
    EXPECT_EQ(Keys(pool), (QStringList{"127.0.0.1:8881/United States"}));
    EXPECT_TRUE(ParseSourceText(SourceFormat::Pool, "# nothing yet\n", 100).error.isEmpty())
        << "an empty pool is a pool";
}

TEST(SourceParser, TellsSocks5ProxiesByFormatSchemeOrProtocolAndRefusesKindsItCannotCheck)
{
    const auto kinds = [](const SourceParseResult& r) {
        QStringList out;
        for (const SourceEntry& e : r.entries)
            out << ProxyAddressText(e.kind, e.key());
        return out;
    };
    const SourceParseResult socks =
        ParseSourceText(SourceFormat::Socks5, "1.2.3.4:1080\nhttp://5.6.7.8:3128\nsocks4://9.9.9.9:1080\n", 100);
    EXPECT_EQ(kinds(socks), (QStringList{"socks5://1.2.3.4:1080", "5.6.7.8:3128"}));
    EXPECT_EQ(socks.rejected, 1);

    const SourceParseResult plain =
        ParseSourceText(SourceFormat::Plain, "SOCKS5://1.2.3.4:1080 fast\n5.6.7.8:3128\n", 100);
    EXPECT_EQ(kinds(plain), (QStringList{"socks5://1.2.3.4:1080", "5.6.7.8:3128"}));

    const SourceParseResult csv = ParseSourceText(
        SourceFormat::Csv, "ip,port,protocol\n1.1.1.1,1080,socks5\n2.2.2.2,8080,https\n3.3.3.3,1080,socks4\n", 100);
    EXPECT_EQ(kinds(csv), (QStringList{"socks5://1.1.1.1:1080", "2.2.2.2:8080"}));
    EXPECT_EQ(csv.rejected, 1);

    const SourceParseResult json =
        ParseSourceText(SourceFormat::Json,
                        R"([{"ip":"1.1.1.1","port":1080,"protocol":"socks5"},{"ip":"2.2.2.2","port":80,"type":"http"},
            {"ip":"3.3.3.3","port":1080,"protocol":"socks4"}])",
                        100);
    EXPECT_EQ(kinds(json), (QStringList{"socks5://1.1.1.1:1080", "2.2.2.2:80"}));
    EXPECT_EQ(json.rejected, 1);
}

TEST(SourceParser, RefusesTextOfTheWrongKindAndStopsAtTheCap)
{
    EXPECT_EQ(ParseSourceText(SourceFormat::Plain, QByteArray("1.2.3.4:80\n\0\1\2", 14), 10).error,
              "binary data, not a list of proxies");
    EXPECT_EQ(ParseSourceText(SourceFormat::Plain, "1.2.3.4:80\n\xc3\x28\n", 10).error,
              "binary data, not a list of proxies");
    EXPECT_EQ(ParseSourceText(SourceFormat::Json, R"({"host":"1.2.3.4","port":80})", 10).error,
              "JSON is not an array of proxies");
    EXPECT_TRUE(ParseSourceText(SourceFormat::Json, "[{\"host\":", 10).error.startsWith("not JSON"));
    EXPECT_EQ(ParseSourceText(SourceFormat::Csv, "a,b\n1.2.3.4,80\n", 10).error,
              "the CSV header names no host (or ip) and port columns");
    EXPECT_EQ(ParseSourceText(SourceFormat::Plain, "<html>not found</html>\n", 10).error,
              "no usable host:port entry (1 rejected)");

    QByteArray many;
    for (int i = 0; i < 1000; ++i)
        many += "10.0." + QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250 + 1) + ":80\n";
    const SourceParseResult capped = ParseSourceText(SourceFormat::Plain, many, 300);
    EXPECT_EQ(capped.entries.size(), 300);
    EXPECT_TRUE(capped.cut) << "a list cut at the cap says so";
    EXPECT_FALSE(ParseSourceText(SourceFormat::Plain, many, 1000).cut);

    // A program list that promises more entries than it holds is read for the ones it holds.
    const SourceParseResult promised =
        ParseSourceText(SourceFormat::Veilport, "ProxyCount=100000\r\nProxy_0=1.2.3.4:80|||||\r\n", 100000);
    EXPECT_EQ(promised.entries.size(), 1);
    EXPECT_EQ(promised.rejected, 0);
}

TEST(SourceParser, TakesAProxyOnceHoweverItsAddressIsWrittenAndNothingThatCouldBreakAListLine)
{
    const SourceParseResult plain = ParseSourceText(SourceFormat::Plain,
                                                    "127.0.0.1:80\n127.1:80\n[::ffff:127.0.0.1]:80\n[::1]:81\n"
                                                    "[0:0::1]:81\n[fe80::1%eth0]:82\n[fe80::1%x|Canada|y]:83\n" +
                                                        QByteArray(64, 'a') + ".example.org:84\n",
                                                    100);
    EXPECT_EQ(Keys(plain), (QStringList{"127.0.0.1:80", "::1:81"}));
    EXPECT_EQ(plain.duplicates, 3);
    EXPECT_EQ(plain.rejected, 3) << "a scoped address and an overlong DNS label are no proxy of a public list";

    // Control characters at the ends of a field become blanks, and blanks around a field go; a long field is
    // cut between characters.
    const SourceParseResult csv = ParseSourceText(
        SourceFormat::Csv,
        "host,port,country\n1.2.3.4,80,\x17 Chad\x01\n5.6.7.8,80," + QByteArray(199, 'a') + "\xF0\x9F\x98\x80\n", 100);
    EXPECT_EQ(Keys(csv), (QStringList{"1.2.3.4:80/Chad", "5.6.7.8:80/" + QString(199, 'a')}));
}
