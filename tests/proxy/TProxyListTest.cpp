#include "proxy/TProxyManager.h"

#include "support/ListServiceFixture.h"
#include "support/RecordingBrowserControl.h"
#include "support/TempDir.h"
#include "util/EngineServices.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

class ProxyList : public ::testing::Test
{
protected:
    TEngineServices quiet;
    testsupport::RecordingBrowserControl browsers;
    TProxyManager manager{browsers, quiet, QStringLiteral("http://127.0.0.1:9/getip.php?VER=1")};

    void parse(const QString& text) { manager.TakeProxyList(text.split(QLatin1Char('\n'))); }

    // Books the result of a test of host:80 as the tester hands it over.
    void book(const QString& host, bool passed, quint32 elapsedMs = 0)
    {
        manager.ProxyTested(passed, 0, QString(), host, 80, elapsedMs);
    }

    // A second manager that read the list file at path; the test fails when it could not.
    TProxyManager& reload(const QString& path)
    {
        m_other = std::make_unique<TProxyManager>(m_otherBrowsers, quiet, QString());
        EXPECT_TRUE(m_other->LoadFromFile(path)) << qPrintable(path);
        return *m_other;
    }

private:
    testsupport::RecordingBrowserControl m_otherBrowsers;
    std::unique_ptr<TProxyManager> m_other;
};

QString entry(int n, const QString& fields)
{
    return QStringLiteral("Proxy_%1=%2").arg(n).arg(fields);
}

} // namespace

TEST_F(ProxyList, ReadsLocalValuesAndEntriesAndFiresLoaded)
{
    QSignalSpy loaded(&manager, &TProxyManager::listLoaded);
    parse(QStringLiteral("LocalIP=10.1.2.3\nLocalCountry=Canada\nCountryFlag=http://f/ca.png\n"
                         "LocalLatitude=45.4\nLocalLongitude=-75.7\nProxyCount=2\n") +
          entry(0, "1.1.1.1:8080|anon|Japan|http://f/jp.png|139.7|35.7") + "\n" +
          entry(1, "2.2.2.2:3128|elite|Brazil|http://f/br.png|-47.9|-15.8"));
    ASSERT_EQ(loaded.count(), 1);
    EXPECT_EQ(loaded.at(0).at(0).value<TProxyManager*>(), &manager);
    EXPECT_EQ(manager.LocalIP(), "10.1.2.3");
    EXPECT_EQ(manager.LocalCountry(), "Canada");
    EXPECT_EQ(manager.CountryFlag(), "http://f/ca.png");
    EXPECT_EQ(manager.LocalLatitude(), "45.4");
    EXPECT_EQ(manager.LocalLongitude(), "-75.7");
    ASSERT_EQ(manager.Proxies().size(), 2);
    const TProxyRec& second = manager.Proxies().at(1);
    EXPECT_EQ(second.Proxy, "2.2.2.2:3128");
    EXPECT_EQ(second.Info, "elite");
    EXPECT_EQ(second.Country, "Brazil");
    EXPECT_EQ(second.FlagUrl, "http://f/br.png");
    EXPECT_EQ(second.Longitude, "-47.9");
    EXPECT_EQ(second.Latitude, "-15.8");
    EXPECT_EQ(manager.Countries(), QStringList({"Japan", "Brazil"}));
}

TEST_F(ProxyList, MissingOrMalformedEntriesLeaveEmptyRecordsAndNoCountry)
{
    parse(QStringLiteral("ProxyCount=5\n") + entry(0, "1.1.1.1:80|i|Peru|f|1|2") + "\n" +
          entry(2, "3.3.3.3:80|i|Chile|f|1") + "\n" +    // five fields
          entry(3, "4.4.4.4:80|i|Cuba|f|1|2|x") + "\n" + // seven fields
          entry(4, " 5.5.5.5:80||Mali|||"));             // empty fields count, nothing trimmed
    ASSERT_EQ(manager.Proxies().size(), 5);
    EXPECT_EQ(manager.Proxies().at(1).Proxy, "");
    EXPECT_EQ(manager.Proxies().at(1).Status, TProxyRec::stUntested);
    EXPECT_EQ(manager.Proxies().at(2).Proxy, "");
    EXPECT_EQ(manager.Proxies().at(3).Proxy, "");
    EXPECT_EQ(manager.Proxies().at(4).Proxy, " 5.5.5.5:80");
    EXPECT_EQ(manager.Proxies().at(4).Country, "Mali");
    EXPECT_EQ(manager.Proxies().at(4).Latitude, "");
    EXPECT_EQ(manager.Countries(), QStringList({"Peru", "Mali"}));
}

TEST_F(ProxyList, KeysIgnoreCaseFirstLineWinsAndBlanksBeforeEqualsDoNotMatch)
{
    parse(QStringLiteral("PROXYCOUNT=1\nproxycount=7\nLocalIP =9.9.9.9\nlocalip==x=\nno equals sign\n") +
          QStringLiteral("PROXY_0=1.1.1.1:80|i|Peru|f|1|2\nProxy_0=2.2.2.2:80|i|Chad|f|1|2"));
    EXPECT_EQ(manager.Proxies().size(), 1);
    EXPECT_EQ(manager.Proxies().at(0).Proxy, "1.1.1.1:80");
    EXPECT_EQ(manager.LocalIP(), "=x="); // the value is everything after the first "=", untrimmed
}

TEST_F(ProxyList, CountriesMergeLetterCaseButLookupsAreExact)
{
    parse(QStringLiteral("ProxyCount=3\n") + entry(0, "1.1.1.1:80|i|Japan|f0|1|2") + "\n" +
          entry(1, "2.2.2.2:80|i|JAPAN|f1|3|4") + "\n" + entry(2, "3.3.3.3:80|i|Japan|f2|5|6"));
    EXPECT_EQ(manager.Countries(), QStringList({"Japan"}));
    TProxyRec rec;
    ASSERT_TRUE(manager.FindProxyByCountry("Japan", rec));
    EXPECT_EQ(rec.FlagUrl, "f2"); // the last match wins
    ASSERT_TRUE(manager.FindProxyByCountry("JAPAN", rec));
    EXPECT_EQ(rec.FlagUrl, "f1");
    rec.Proxy = "stale";
    EXPECT_FALSE(manager.FindProxyByCountry("japan", rec));
    EXPECT_EQ(rec.Proxy, ""); // cleared even when nothing matches

    book("1.1.1.1", true);
    book("3.3.3.3", false);
    int working = -1, others = -1;
    EXPECT_TRUE(manager.CountProxies("Japan", working, others));
    EXPECT_EQ(working, 1);
    EXPECT_EQ(others, 1);
    EXPECT_FALSE(manager.CountProxies("Nowhere", working, others));
    EXPECT_EQ(working + others, 0);

    ASSERT_TRUE(manager.FindProxy("2.2.2.2:80", rec));
    EXPECT_EQ(rec.Country, "JAPAN");
    EXPECT_FALSE(manager.FindProxy("2.2.2.2", rec));
}

TEST_F(ProxyList, ReparsingShrinksAndKeepsOldRecordsUnderInvalidNewEntries)
{
    parse(QStringLiteral("ProxyCount=3\n") + entry(0, "1.1.1.1:80|i|A|f|1|2") + "\n" +
          entry(1, "2.2.2.2:80|i|B|f|1|2") + "\n" + entry(2, "3.3.3.3:80|i|C|f|1|2"));
    book("2.2.2.2", true, 77);
    parse(QStringLiteral("ProxyCount=2\n") + entry(0, "9.9.9.9:80|i|Z|f|1|2") + "\n" + entry(1, "broken"));
    ASSERT_EQ(manager.Proxies().size(), 2);
    EXPECT_EQ(manager.Proxies().at(0).Proxy, "9.9.9.9:80");
    EXPECT_EQ(manager.Proxies().at(1).Proxy, "2.2.2.2:80");
    EXPECT_EQ(manager.Proxies().at(1).Status, TProxyRec::stPassed);
    EXPECT_EQ(manager.Proxies().at(1).Speed, 77);
    EXPECT_EQ(manager.Countries(), QStringList({"Z"}));

    QSignalSpy loaded(&manager, &TProxyManager::listLoaded);
    parse(QStringLiteral("LocalIP=1.2.3.4"));
    EXPECT_EQ(loaded.count(), 1);
    EXPECT_TRUE(manager.Proxies().isEmpty());
    EXPECT_TRUE(manager.Countries().isEmpty());
}

TEST_F(ProxyList, CountsThatAreNotUsableGiveNoRecords)
{
    for (const char* count : {"-3", "abc", "", "2x", "99999999999999"}) {
        parse(QStringLiteral("ProxyCount=%1\n").arg(QLatin1String(count)) + entry(0, "1.1.1.1:80|i|A|f|1|2"));
        EXPECT_TRUE(manager.Proxies().isEmpty()) << count;
    }
    // A count far beyond any list is bounded rather than allocated.
    parse(QStringLiteral("ProxyCount=2147483647\n") + entry(0, "1.1.1.1:80|i|A|f|1|2"));
    EXPECT_EQ(manager.Proxies().size(), TProxyManager::kMaxProxyCount);
    EXPECT_EQ(manager.Proxies().at(0).Country, "A");
}

TEST_F(ProxyList, MissingFileChangesNothingAndUnwritableFolderThrows)
{
    parse(QStringLiteral("LocalIP=1.2.3.4\nProxyCount=1\n") + entry(0, "1.1.1.1:80|i|A|f|1|2"));
    QSignalSpy loaded(&manager, &TProxyManager::listLoaded);
    testsupport::TempDir dir;
    EXPECT_FALSE(manager.LoadFromFile(dir.file("absent.lst")));
    EXPECT_EQ(loaded.count(), 0);
    EXPECT_EQ(manager.Proxies().size(), 1);
    EXPECT_EQ(manager.LocalIP(), "1.2.3.4");

    EXPECT_THROW(manager.SaveToFile(dir.file("no/such/folder/proxylist.lst")), std::runtime_error);
    EXPECT_THROW(manager.SaveToFile(dir.path()), std::runtime_error); // a folder where the file should be
}

// The list the real service sends, downloaded and read by the manager: every field arrives where it is expected.
TEST_F(ProxyList, DownloadsTheListFromTheServiceWithEveryFieldIntact)
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
        << qPrintable(service.errorText());
    QSignalSpy loaded(&manager, &TProxyManager::listLoaded);
    manager.DownloadProxyList(service.url("/getproxy.php") + "?&VER=1");
    ASSERT_TRUE(loaded.wait(10000));
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
}

TEST_F(ProxyList, LongAndMultiByteLinesSaveByteForByte)
{
    // Lines longer than any write buffer, and multi-byte characters at every offset, must come out whole.
    QStringList lines;
    lines << QStringLiteral("ProxyCount=0") << QString(200000, QChar(0x20AC)) + QStringLiteral("end");
    for (int i = 0; i < 30000; ++i)
        lines << QStringLiteral("x%1=\u00e9\U0001F600").arg(i) + QString(i % 7, QLatin1Char('y'));
    lines << QString() << QString(100000, QLatin1Char('z'));
    manager.TakeProxyList(lines);

    testsupport::TempDir dir;
    manager.SaveToFile(dir.file("long.lst"));
    EXPECT_EQ(dir.read("long.lst"), (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());

    EXPECT_EQ(reload(dir.file("long.lst")).RawList(), lines);
}

TEST_F(ProxyList, EntriesOutOfOrderKeepTheirNumbersAndTheFirstLineOfARepeat)
{
    parse(
        QStringLiteral("ProxyCount=4\nProxy_3=4.4.4.4:80|i|D|f|1|2\npRoXy_1=2.2.2.2:80|i|B|f|1|2\n") +
        QStringLiteral("Proxy_0=1.1.1.1:80|i|A|f|1|2\nProxy_1=9.9.9.9:80|i|Z|f|1|2\nProxy_02=8.8.8.8:80|i|Y|f|1|2\n") +
        QStringLiteral("Pr\u00f6xy_2=7.7.7.7:80|i|X|f|1|2\n\uff30roxy_2=6.6.6.6:80|i|W|f|1|2\nProxy_2=1|2|3|4|5|6|7"));
    ASSERT_EQ(manager.Proxies().size(), 4);
    EXPECT_EQ(manager.Proxies().at(0).Proxy, "1.1.1.1:80");
    EXPECT_EQ(manager.Proxies().at(1).Proxy, "2.2.2.2:80");
    EXPECT_TRUE(manager.Proxies().at(2).Proxy.isEmpty()); // only names that are not entries, and six bars
    EXPECT_EQ(manager.Proxies().at(3).Proxy, "4.4.4.4:80");
    EXPECT_EQ(manager.Countries(), QStringList({"A", "B", "D"}));
}

namespace {

// The lines of a text split the plain way, as the list format defines them.
QStringList referenceLines(const QString& text)
{
    QStringList lines;
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n')) {
            current += c;
            continue;
        }
        lines << current;
        current.clear();
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
    }
    if (!current.isEmpty())
        lines << current;
    return lines;
}

} // namespace

TEST_F(ProxyList, AFileReadsAsIfDecodedWholeWhateverItsBytes)
{
    // Noise with many line breaks, broken and whole multi-byte sequences and byte order marks, well past the
    // size of one read, so pieces end at every kind of byte.
    QByteArray bytes = "\xef\xbb\xbfLocalIP=1.2.3.4\r\n";
    quint32 seed = 12345;
    const char* const pieces[] = {"\r",
                                  "\n",
                                  "\r\n",
                                  "\xc3\xa9",
                                  "\xe2\x82\xac",
                                  "\xf0\x9f\x98\x80",
                                  "\xe2\x82",
                                  "\xff",
                                  "\xc3",
                                  "\xef\xbb\xbf",
                                  "=",
                                  "|",
                                  "Proxy_1",
                                  "abc",
                                  "\x01",
                                  ""};
    while (bytes.size() < 900 * 1024) {
        seed = seed * 1103515245u + 12345u;
        bytes += pieces[(seed >> 16) % 16];
        if ((seed >> 8) % 97 == 0)
            bytes += QByteArray(int((seed >> 4) % 300000), 'x'); // now and then a line longer than a read
    }
    testsupport::TempDir dir;
    QSignalSpy loaded(&manager, &TProxyManager::listLoaded);
    ASSERT_TRUE(manager.LoadFromFile(dir.write("noise.lst", bytes)));
    EXPECT_EQ(loaded.count(), 1);
    const QStringList expected = referenceLines(QString::fromUtf8(bytes));
    ASSERT_EQ(manager.RawList().size(), expected.size());
    EXPECT_TRUE(manager.RawList() == expected);
    EXPECT_EQ(manager.RawList().at(0), "LocalIP=1.2.3.4"); // only the byte order mark that opens the file goes
    EXPECT_EQ(manager.LocalIP(), "1.2.3.4");
    EXPECT_TRUE(manager.RawList() == ProxyListLines::fromUtf8(bytes));
}

TEST_F(ProxyList, EveryLineKindSurvivesSaveAndReloadWithEntriesInOrder)
{
    // Lone CR, lone LF, CR LF, LF CR (two breaks), empty lines, lines without "=", control characters and a final
    // line without a break, around entries that come out of order.
    const QString text = QStringLiteral("LocalIP=9.8.7.6\rProxyCount=4\n\rno equals sign\r\n"
                                        "Proxy_2=3.3.3.3:80|i|C|f|1|2\r\r\n"
                                        "Proxy_0=1.1.1.1:80|\u0001\u00ff|A|f|1|2\n"
                                        "=value without a name\r"
                                        "Proxy_3=4.4.4.4:80|i|\u20ac\U0001F600|f|1|2\r\n"
                                        "Proxy_1=2.2.2.2:80|i|B|f|1|2");
    manager.ProxyListReceived(text);
    const QStringList lines = referenceLines(text);
    EXPECT_TRUE(manager.RawList() == lines);
    EXPECT_EQ(manager.RawList().size(), 10);
    EXPECT_EQ(manager.RawList().at(5), QString()); // "\r\r\n": the lone CR ends an empty line

    testsupport::TempDir dir;
    manager.SaveToFile(dir.file("proxylist.lst"));
    EXPECT_EQ(dir.read("proxylist.lst"), (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());

    TProxyManager& reloaded = reload(dir.file("proxylist.lst"));
    EXPECT_TRUE(reloaded.RawList() == manager.RawList());
    ASSERT_EQ(reloaded.Proxies().size(), 4);
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(reloaded.Proxies().at(n).Proxy, QStringLiteral("%1.%1.%1.%1:80").arg(n + 1)) << n;
    EXPECT_EQ(reloaded.Proxies().at(0).Info, QStringLiteral("\u0001\u00ff"));
    EXPECT_EQ(reloaded.Countries(), QStringList({"A", "B", "C", QStringLiteral("\u20ac\U0001F600")}));
    EXPECT_EQ(reloaded.LocalIP(), "9.8.7.6");
}

TEST_F(ProxyList, LinesGivenAsAListStayAsGivenEvenWithBreaksInside)
{
    const QStringList given = {"LocalIP=1.2.3.4\r", "", "a\nb", "ProxyCount=0"};
    manager.TakeProxyList(given);
    EXPECT_EQ(manager.RawList().size(), 4);
    EXPECT_EQ(QStringList(manager.RawList()), given);
    EXPECT_EQ(manager.LocalIP(), "1.2.3.4\r"); // values are taken untrimmed
}

TEST_F(ProxyList, RepeatedFieldsAreSharedButEachRecordKeepsItsOwnValues)
{
    // Records whose info, country and flag (or coordinates) repeat share texts; the values must still be
    // each record's own, also when only some of the fields repeat.
    QString text = QStringLiteral("ProxyCount=5000\n");
    for (int n = 0; n < 5000; ++n) {
        text += QStringLiteral("Proxy_%1=10.0.%2.%3:80|info%4|Land%5|flag%6|%7|%8\n")
                    .arg(n)
                    .arg(n / 256)
                    .arg(n % 256)
                    .arg(n % 3)
                    .arg(n % 7)
                    .arg(n % 5)
                    .arg(n) // unique longitudes push the pools past their bound
                    .arg(n % 11);
    }
    manager.ProxyListReceived(text);
    ASSERT_EQ(manager.Proxies().size(), 5000);
    for (int n = 0; n < 5000; ++n) {
        const TProxyRec& rec = manager.Proxies().at(n);
        ASSERT_EQ(rec.Info, QStringLiteral("info%1").arg(n % 3)) << n;
        ASSERT_EQ(rec.Country, QStringLiteral("Land%1").arg(n % 7)) << n;
        ASSERT_EQ(rec.FlagUrl, QStringLiteral("flag%1").arg(n % 5)) << n;
        ASSERT_EQ(rec.Longitude, QString::number(n)) << n;
        ASSERT_EQ(rec.Latitude, QString::number(n % 11)) << n;
    }
    EXPECT_EQ(manager.Countries().size(), 7);
    EXPECT_EQ(manager.Countries().first(), "Land0");
    EXPECT_EQ(manager.Countries().last(), "Land6");
}

TEST_F(ProxyList, Socks5EntriesFollowTheHttpOnesAndOlderListsReadAsBefore)
{
    // A list of before SOCKS5: every entry an HTTP proxy, as always.
    parse(QStringLiteral("ProxyCount=2\n") + entry(0, "1.1.1.1:8080|i|Peru|f|1|2") + "\n" +
          entry(1, "2.2.2.2:3128|i|Chad|f|1|2"));
    ASSERT_EQ(manager.Proxies().size(), 2);
    for (const TProxyRec& rec : std::as_const(manager.Proxies()))
        EXPECT_EQ(rec.Kind, TProxyKind::Http) << qPrintable(rec.Proxy);

    // A list with SOCKS5 proxies numbers them after ProxyCount and counts them by ExtraProxyCount. The
    // scheme leaves the address, which stays host:port for every caller; an unknown scheme is no record.
    const QString list = QStringLiteral("ProxyCount=2\nExtraProxyCount=3\n") + entry(0, "1.1.1.1:8080|i|Peru|f|1|2") +
                         "\n" + entry(1, "socks5://9.9.9.9:1080|i|Peru|f|1|2") + "\n" +
                         entry(2, "SOCKS5://3.3.3.3:1080|elite|Chad|f|1|2") + "\n" +
                         entry(3, "socks4://4.4.4.4:1080|i|Mali|f|1|2") + "\n" + entry(4, "5.5.5.5:80|i|Cuba|f|1|2");
    parse(list);
    ASSERT_EQ(manager.Proxies().size(), 5);
    EXPECT_EQ(manager.Proxies().at(0).Kind, TProxyKind::Http);
    EXPECT_EQ(manager.Proxies().at(1).Proxy, "9.9.9.9:1080");
    EXPECT_EQ(manager.Proxies().at(1).Kind, TProxyKind::Socks5);
    EXPECT_EQ(manager.Proxies().at(2).Proxy, "3.3.3.3:1080");
    EXPECT_EQ(manager.Proxies().at(2).Kind, TProxyKind::Socks5);
    EXPECT_EQ(manager.Proxies().at(2).Info, "elite");
    EXPECT_EQ(manager.Proxies().at(3).Proxy, "") << "a kind this program cannot speak";
    EXPECT_EQ(manager.Proxies().at(4).Proxy, "5.5.5.5:80");
    EXPECT_EQ(manager.Proxies().at(4).Kind, TProxyKind::Http);
    EXPECT_EQ(manager.Countries(), QStringList({"Peru", "Chad", "Cuba"}));

    // The file keeps the list as it came, so the kinds come back with it.
    testsupport::TempDir tmp;
    const QString file = tmp.file(QStringLiteral("proxylist.lst"));
    manager.SaveToFile(file);
    TProxyManager reloaded{browsers, quiet, QStringLiteral("http://127.0.0.1:9/getip.php?VER=1")};
    ASSERT_TRUE(reloaded.LoadFromFile(file));
    ASSERT_EQ(reloaded.Proxies().size(), 5);
    EXPECT_EQ(reloaded.Proxies().at(2).Proxy, "3.3.3.3:1080");
    EXPECT_EQ(reloaded.Proxies().at(2).Kind, TProxyKind::Socks5);

    // Hiding tests both kinds, each as what it speaks.
    manager.ChooseCountry(QStringLiteral("Peru"));
    manager.StartHide();
    EXPECT_EQ(manager.Tester().Total, 2);
    EXPECT_EQ(manager.Tester().Pending(), QStringList({"1.1.1.1:8080", "socks5://9.9.9.9:1080"}));
    manager.StopHide();
}
