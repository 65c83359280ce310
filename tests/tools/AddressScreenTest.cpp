// Which addresses a public proxy list may name: nothing of the service's own networks or of ranges that
// no public host holds.
#include "AddressScreen.h"

#include <gtest/gtest.h>

TEST(AddressScreen, OnlyPublicUnicastAddressesAreGlobalIncludingAtTheEdgesOfEachRange)
{
    for (const char* text : {"0.0.0.0",
                             "0.1.2.3",
                             "10.1.2.3",
                             "100.64.0.0",
                             "100.127.255.255",
                             "127.0.0.1",
                             "127.255.0.9",
                             "169.254.1.1",
                             "172.16.0.1",
                             "172.31.255.255",
                             "192.0.0.8",
                             "192.0.2.1",
                             "192.168.1.1",
                             "198.18.0.1",
                             "198.19.255.255",
                             "198.51.100.1",
                             "203.0.113.1",
                             "224.0.0.1",
                             "239.255.255.250",
                             "240.0.0.1",
                             "255.255.255.255",
                             "::",
                             "::1",
                             "::ffff:127.0.0.1",
                             "::ffff:10.0.0.1",
                             "::127.0.0.1",
                             "64:ff9b::7f00:1",
                             "fc00::1",
                             "fd12:3456::1",
                             "fe80::1",
                             "fec0::1",
                             "ff02::1",
                             "2001::1",
                             "2001:db8::1",
                             "2002:7f00:1::1",
                             "3fff::1"})
        EXPECT_FALSE(IsGlobalAddress(QHostAddress(QString::fromLatin1(text)))) << text;
    for (const char* text :
         {"1.1.1.1", "9.255.255.255", "11.0.0.0", "100.63.255.255", "100.128.0.0", "126.255.255.255", "172.15.255.255",
          "172.32.0.0", "192.169.0.1", "198.17.255.255", "198.20.0.1", "223.255.255.255", "::ffff:8.8.8.8",
          "2001:4860:4860::8888", "2a00:1450:4001::1", "2606:4700::1111"})
        EXPECT_TRUE(IsGlobalAddress(QHostAddress(QString::fromLatin1(text)))) << text;
    EXPECT_FALSE(IsGlobalAddress(QHostAddress()));
}

TEST(AddressScreen, EntriesAreKeptOnlyForGlobalAddressesAndNamesResolvingToThemAlone)
{
    // "2130706433" is a name to a list but 127.0.0.1 to the resolver, as "localhost" is through the hosts file.
    const QList<QPair<QString, int>> listed{{"8.8.8.8", 80},    {"localhost", 3128},        {"2130706433", 3128},
                                            {"127.0.0.1", 80},  {"2606:4700::1111", 8080},  {"fe80::1%lo", 80},
                                            {"10.0.0.1", 8080}, {"::ffff:192.168.0.1", 80}, {"8.8.8.8", 80}};
    QList<SourceEntry> entries(listed.size());
    for (qsizetype i = 0; i < listed.size(); ++i) {
        entries[i].host = listed[i].first;
        entries[i].port = listed[i].second;
    }
    const std::atomic_bool abort = false;
    EXPECT_EQ(KeepGlobalEntries(entries, abort), 6);
    QStringList kept;
    for (const SourceEntry& e : entries)
        kept << e.key();
    EXPECT_EQ(kept, (QStringList{"8.8.8.8:80", "2606:4700::1111:8080"}));
}
