#include "tor/TorControlConnection.h"
#include "tor/TorQueries.h"

#include "support/FakeTorControlPort.h"
#include "support/Wait.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::FakeTorControlPort;

namespace {

const QByteArray Cookie(32, '\x5a');

struct Peer
{
    const char* name;
    // Sets up the fake port's misbehaviour.
    void (*script)(FakeTorControlPort&);
    const char* message; // a part of the failure message
};

class HostileControlPort : public ::testing::TestWithParam<Peer>
{
};

// Whatever the peer does, the connection ends with exactly one failure that says what went wrong, leaves
// no command hanging, and is not usable afterwards.
TEST_P(HostileControlPort, EndsWithOneClearFailure)
{
    FakeTorControlPort fake;
    GetParam().script(fake);
    TorControlConnection connection;
    connection.setReplyTimeout(1500);
    QSignalSpy failed(&connection, &TorControlConnection::failed);
    QList<int> answered;
    QObject::connect(&connection, &TorControlConnection::authenticated, &connection, [&] {
        connection.send("GETINFO version", [&](const TorControlReply& reply) { answered << reply.code; });
        connection.send("SIGNAL NEWNYM", [&](const TorControlReply& reply) { answered << reply.code; });
    });
    connection.open(fake.port(), Cookie);

    ASSERT_TRUE(failed.wait(5000));
    const QString message = failed.first().first().toString();
    EXPECT_TRUE(message.contains(QLatin1String(GetParam().message))) << message.toStdString();
    EXPECT_FALSE(connection.isOpen());
    EXPECT_FALSE(connection.send("GETINFO version"));
    EXPECT_FALSE(failed.wait(300));
    EXPECT_EQ(failed.size(), 1);
    EXPECT_TRUE(answered.isEmpty() || answered == QList<int>{250});
}

INSTANTIATE_TEST_SUITE_P(
    Peers, HostileControlPort,
    ::testing::Values(
        Peer{"ClosesAtOnce", [](FakeTorControlPort& f) { f.greet({}, FakeTorControlPort::ThenClose); },
             "closed the connection"},
        Peer{"SpeaksHttp", [](FakeTorControlPort& f) { f.greet("HTTP/1.1 400 Bad Request\r\n\r\n"); }, "not a reply"},
        Peer{"RefusesTheCookie",
             [](FakeTorControlPort& f) {
                 f.answer("AUTHENTICATE", "515 Authentication failed: Safe cookie response did not match\r\n",
                          FakeTorControlPort::ThenClose);
             },
             "refused the authentication cookie (515"},
        Peer{"NeverAnswers", [](FakeTorControlPort&) {}, "did not answer within 2 seconds"},
        Peer{"AnswersGarbageLater",
             [](FakeTorControlPort& f) {
                 f.answer("AUTHENTICATE", "250 OK\r\n");
                 f.answer("GETINFO", "250 OK\r\n\x01\x02\x03 binary\r\n");
             },
             "not a reply"},
        Peer{"ClosesMidReply",
             [](FakeTorControlPort& f) {
                 f.answer("AUTHENTICATE", "250 OK\r\n");
                 f.answer("GETINFO", "250 OK\r\n250+ns/all=\r\nr a b", FakeTorControlPort::ThenClose);
             },
             "closed the connection"},
        Peer{"AnswersUnasked",
             [](FakeTorControlPort& f) { f.answer("AUTHENTICATE", "250 OK\r\n250 OK\r\n250 OK\r\n250 OK\r\n"); },
             "never sent"},
        Peer{"SendsAnEndlessLine",
             [](FakeTorControlPort& f) {
                 f.answer("AUTHENTICATE", "250 OK\r\n");
                 f.answer("GETINFO", "250-version=" + QByteArray(200 * 1024, 'x'));
             },
             "longer than"}),
    [](const ::testing::TestParamInfo<Peer>& info) { return std::string(info.param.name); });

TEST(TorControlConnection, RefusesCommandsThatWouldSmuggleInAnother)
{
    FakeTorControlPort fake;
    fake.answer("AUTHENTICATE", "250 OK\r\n");
    TorControlConnection connection;
    QSignalSpy authenticated(&connection, &TorControlConnection::authenticated);
    connection.open(fake.port(), Cookie);
    ASSERT_TRUE(authenticated.wait(5000));
    EXPECT_EQ(fake.commands(), QList<QByteArray>{"AUTHENTICATE " + Cookie.toHex()});

    EXPECT_FALSE(connection.send("GETINFO version\r\nSIGNAL HALT"));
    EXPECT_FALSE(connection.send(QByteArray("GETINFO version\0SIGNAL HALT", 27)));
    QString error = QStringLiteral("not called");
    torqueries::countryOf(connection, QStringLiteral("1.2.3.4\r\nSIGNAL HALT"), [&](QString, QString e) { error = e; });
    ASSERT_TRUE(testsupport::waitUntil([&] { return error != QLatin1String("not called"); }, 5000));
    EXPECT_TRUE(error.contains(QLatin1String("not an IP address"))) << error.toStdString();
    torqueries::setExitCountry(connection, QStringLiteral("de} SocksPort=0.0.0.0:9050 {"),
                               [&](QString e) { error = e; });
    ASSERT_TRUE(testsupport::waitUntil([&] { return error.contains(QLatin1String("country code")); }, 5000));
    EXPECT_EQ(fake.commands().size(), 1);
}

// The countries come from the exit relays of the consensus (not from relays that are no exits or are
// known bad ones), asked of tor's address database in one batched command.
TEST(TorControlConnection, ListsTheCountriesOfUsableExits)
{
    FakeTorControlPort fake;
    fake.answer("AUTHENTICATE", "250 OK\r\n");
    fake.answer(
        "GETINFO ns/all",
        "250+ns/all=\r\n"
        "r exitDE AAAAAAAAAAAAAAAAAAAAAAAAAAA 2024-01-01 10:00:00 5.9.1.1 9001 0\r\n"
        "s Exit Fast Running Stable Valid\r\n"
        "w Bandwidth=100\r\n"
        "r guardFR BBBBBBBBBBBBBBBBBBBBBBBBBBB 2024-01-01 10:00:00 51.15.1.1 443 0\r\n"
        "s Fast Guard Running Valid\r\n"
        "r badRU CCCCCCCCCCCCCCCCCCCCCCCCCCC 2024-01-01 10:00:00 95.1.1.1 9001 0\r\n"
        "s BadExit Exit Running Valid\r\n"
        "r exitUS DDDDDDDDDDDDDDDDDDDDDDDDDDD EEEEEEEEEEEEEEEEEEEEEEEEEEE 2024-01-01 10:00:00 8.8.4.4 9001 0\r\n"
        "s Exit Running Valid\r\n"
        "r exitDE2 FFFFFFFFFFFFFFFFFFFFFFFFFFF 2024-01-01 10:00:00 5.9.2.2 9001 0\r\n"
        "s Exit Running\r\n"
        "r unknown GGGGGGGGGGGGGGGGGGGGGGGGGGG 2024-01-01 10:00:00 10.1.1.1 9001 0\r\n"
        "s Exit Running\r\n"
        "r broken\r\n"
        "s Exit\r\n"
        ".\r\n250 OK\r\n");
    fake.answer("GETINFO ip-to-country/",
                "250-ip-to-country/5.9.1.1=de\r\n250-ip-to-country/8.8.4.4=us\r\n250-ip-to-country/5.9.2.2=de\r\n"
                "250-ip-to-country/10.1.1.1=??\r\n250 OK\r\n");
    TorControlConnection connection;
    QSignalSpy authenticated(&connection, &TorControlConnection::authenticated);
    connection.open(fake.port(), Cookie);
    ASSERT_TRUE(authenticated.wait(5000));

    QStringList countries;
    QString error = QStringLiteral("not called");
    torqueries::exitCountries(connection, [&](QStringList c, QString e) {
        countries = c;
        error = e;
    });
    ASSERT_TRUE(testsupport::waitUntil([&] { return error != QLatin1String("not called"); }, 5000));
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_EQ(countries, (QStringList{"de", "us"}));
    EXPECT_EQ(fake.commands().last(),
              "GETINFO ip-to-country/5.9.1.1 ip-to-country/8.8.4.4 ip-to-country/5.9.2.2 ip-to-country/10.1.1.1");
}

} // namespace
