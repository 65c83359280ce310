// The list service driven as the program and hostile clients meet it: a real process on an ephemeral port.
#include "HttpExchange.h"
#include "support/Wait.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include <QHash>
#include <QImage>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <signal.h>

using testsupport::ListServiceFixture;
using testsupport::TinyproxyFixture;

namespace {

// Lines of a Name=Value answer, split on CR LF as the program does; the first occurrence of a name wins.
QHash<QString, QString> NameValues(const QByteArray& body)
{
    QHash<QString, QString> out;
    for (const QString& line : QString::fromUtf8(body).split(QStringLiteral("\r\n"))) {
        const int eq = line.indexOf('=');
        if (eq > 0 && !out.contains(line.left(eq).toLower()))
            out.insert(line.left(eq).toLower(), line.mid(eq + 1));
    }
    return out;
}

class ListServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service.start({{"127.0.0.1:3128", "United States", "-95.7", "37.1"},
                                   {"127.0.0.2:8080", "Great Britain", "-0.12", "51.5", "elite"},
                                   {"127.0.0.3:80", "Japan", "139.7", "35.7", "anonymous", "http://x/jp.png"}},
                                  options()))
            << service.errorText().toStdString();
    }
    virtual ListServiceFixture::Options options() const
    {
        ListServiceFixture::Options o;
        o.localCountry = "Canada";
        o.localLongitude = "-75.7";
        o.localLatitude = "45.4";
        return o;
    }
    int port() const { return service.port(); }
    void ExpectStillServing()
    {
        ASSERT_TRUE(service.isRunning()) << service.errorOutput().toStdString();
        EXPECT_EQ(Get(port(), "/getip.php?VER=1").status, 200);
    }

    ListServiceFixture service;
};

TEST_F(ListServiceTest, ListAnswerDescribesCallerAndEveryPoolEntry)
{
    const HttpAnswer a = Get(port(), "/getproxy.php?&LANG=English&VER=0100&SVER=1&WVER=6_1_Debian&WLANG=1033&CHL=AB");
    ASSERT_EQ(a.status, 200);
    EXPECT_TRUE(a.body.endsWith("\r\n"));
    EXPECT_FALSE(a.body.contains("\n\n")) << "every line ends with CR LF";
    const auto v = NameValues(a.body);
    EXPECT_EQ(v.value("localip"), "127.0.0.1");
    EXPECT_EQ(v.value("localcountry"), "Canada");
    EXPECT_EQ(v.value("locallongitude"), "-75.7");
    EXPECT_EQ(v.value("locallatitude"), "45.4");
    EXPECT_EQ(v.value("countryflag"), service.url("/images/flag/Canada.png"));
    ASSERT_EQ(v.value("proxycount"), "3");
    EXPECT_EQ(v.value("proxy_0"), "127.0.0.1:3128|anonymous|United States|" +
                                      service.url("/images/flag/United%20States.png") + "|-95.7|37.1");
    EXPECT_EQ(v.value("proxy_1").split('|').value(1), "elite");
    EXPECT_EQ(v.value("proxy_2"), "127.0.0.3:80|anonymous|Japan|http://x/jp.png|139.7|35.7")
        << "a flag URL given in the pool is passed on unchanged";
}

TEST_F(ListServiceTest, FlagUrlsInTheListLeadToLargeFlags)
{
    const auto v = NameValues(Get(port(), "/getproxy.php").body);
    for (const QString& url : {v.value("countryflag"), v.value("proxy_0").split('|').value(3)}) {
        ASSERT_TRUE(url.startsWith(service.url("/"))) << url.toStdString();
        const HttpAnswer flag = Get(port(), url.mid(service.url("").size()).toUtf8());
        ASSERT_EQ(flag.status, 200) << url.toStdString();
        EXPECT_EQ(PngOf(flag).width(), 48) << url.toStdString();
    }
}

TEST_F(ListServiceTest, PoolEditsApplyFromTheNextListRequest)
{
    service.setPool({{"10.0.0.1:3128", "France", "2.35", "48.85"}});
    const auto v = NameValues(Get(port(), "/getproxy.php").body);
    EXPECT_EQ(v.value("proxycount"), "1");
    EXPECT_TRUE(v.value("proxy_0").startsWith("10.0.0.1:3128|anonymous|France|"));
    EXPECT_FALSE(v.contains("proxy_1"));

    service.setPool({});
    const auto empty = NameValues(Get(port(), "/getproxy.php").body);
    EXPECT_EQ(empty.value("proxycount"), "0");
    EXPECT_EQ(empty.value("localip"), "127.0.0.1");
}

TEST_F(ListServiceTest, AddressCheckVersionOneStaysTheBareAddressAndUnknownVersionsAreRefused)
{
    const HttpAnswer ok = Get(port(), "/getip.php?VER=1");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "127.0.0.1") << "older programs read the body as the address";
    for (const QByteArray target : {"/getip.php", "/getip.php?VER=", "/getip.php?VER=3", "/getip.php?VER=2x"})
        EXPECT_EQ(Get(port(), target).status, 400) << target.constData();
}

// The program's proxy test asks through the proxy and judges what arrived: the peer the service saw
// and every header, including those the proxy itself added.
TEST_F(ListServiceTest, AddressCheckVersionTwoShowsThePeerAndEveryHeaderThatArrived)
{
    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
    const HttpAnswer a = RawExchange(proxies.port(0), "GET " + service.url("/getip.php?VER=2").toUtf8() +
                                                          " HTTP/1.1\r\nHost: " + service.host().toUtf8() +
                                                          "\r\nX-Veilport-Probe: Mixed Case value\r\n\r\n");
    ASSERT_EQ(a.status, 200) << a.head.constData();
    EXPECT_TRUE(a.head.contains("Content-Type: text/plain"));
    const QList<QByteArray> lines = a.body.split('\n');
    EXPECT_EQ(a.body.count('\n'), a.body.count("\r\n")) << "CR LF lines";
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.first(), "RemoteAddr=" + testsupport::TinyproxyFixture::outgoingAddress(0).toUtf8() + "\r");
    EXPECT_TRUE(lines.contains("Header.X-Veilport-Probe=Mixed Case value\r")) << a.body.constData();
    EXPECT_TRUE(lines.contains("Header.Connection=close\r")) << "added by the proxy: " << a.body.constData();
    EXPECT_FALSE(a.body.toLower().contains("header.host=")) << "Host is left out";

    // A client cannot forge a line of its own with line breaks or '=' in a header.
    const HttpAnswer forged = RawExchange(port(), "GET /getip.php?VER=2 HTTP/1.1\r\nHost: x\r\n"
                                                  "X-A: one\rRemoteAddr=6.6.6.6\r\n"
                                                  "X=RemoteAddr: 6.6.6.6\r\nX-A: two\r\n\r\n");
    ASSERT_EQ(forged.status, 200);
    EXPECT_EQ(forged.body.count('\r'), forged.body.count("\r\n"));
    EXPECT_EQ(forged.body, "RemoteAddr=127.0.0.1\r\nHeader.X-A=one RemoteAddr=6.6.6.6\r\n"
                           "Header.X_RemoteAddr=6.6.6.6\r\nHeader.X-A=two\r\n");
}

TEST_F(ListServiceTest, FlagsAreRealPngsOfTheirSize)
{
    struct Case
    {
        QByteArray target;
        int width;
        int height;
    };
    const Case cases[] = {
        {"/tpl/images/flag_small/United States.png", 16, 11}, // sent unescaped, as the program builds it
        {"/tpl/images/flag_small/united%20states.png", 16, 11},
        {"/tpl/images/flag_small/un.png", 16, 11},
        {"/images/flag/Great Britain.png", 48, 33},
        {"/images/flag/German.png", 48, 33},
        {"/images/flag/JP.png", 48, 33},
        {"/images/flag/un.png", 48, 33},
    };
    for (const Case& c : cases) {
        const HttpAnswer a = Get(port(), c.target);
        ASSERT_EQ(a.status, 200) << c.target.constData();
        EXPECT_TRUE(a.head.contains("Content-Type: image/png"));
        const QImage image = PngOf(a);
        EXPECT_EQ(image.size(), QSize(c.width, c.height)) << c.target.constData();
    }
    EXPECT_EQ(Get(port(), "/images/flag/Great Britain.png").body, Get(port(), "/images/flag/United Kingdom.png").body);
    EXPECT_NE(Get(port(), "/images/flag/German.png").body, Get(port(), "/images/flag/France.png").body);
}

TEST_F(ListServiceTest, UnknownCountriesAndOddFlagNamesAreNotFound)
{
    for (const QByteArray target :
         {"/images/flag/Atlantis.png", "/images/flag/.png", "/images/flag/us.gif", "/images/flag/../../etc/passwd",
          "/tpl/images/flag_small/%2e%2e%2fus.png", "/tpl/images/flag_small/"})
        EXPECT_EQ(Get(port(), target).status, 404) << target.constData();
    ExpectStillServing();
}

TEST_F(ListServiceTest, MapPageMarksThePlaceWithTheEscapedTagAndAnEmptyPlaceWithNone)
{
    const HttpAnswer a = Get(port(), "/map/map.php?tag=Canada&longitude=-75.7&latitude=45.4");
    ASSERT_EQ(a.status, 200);
    EXPECT_TRUE(a.body.contains("id=\"marker\""));
    EXPECT_TRUE(a.body.contains(">Canada</text>"));
    EXPECT_FALSE(a.body.contains("http")) << "the page must not load anything from elsewhere";

    const HttpAnswer hostile = Get(port(), "/map/map.php?tag=%3Cscript%3Ealert(1)%3C/script%3E&longitude=0&latitude=0");
    ASSERT_EQ(hostile.status, 200);
    EXPECT_FALSE(hostile.body.contains("<script>"));
    EXPECT_TRUE(hostile.body.contains("&lt;script&gt;"));

    const HttpAnswer empty = Get(port(), "/map/map.php?tag=&longitude=&latitude=");
    ASSERT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.body.contains("<svg"));
    EXPECT_FALSE(empty.body.contains("id=\"marker\""));
}

TEST_F(ListServiceTest, MapPageRejectsBadParameters)
{
    for (const QByteArray target :
         {"/map/map.php?tag=X&longitude=abc&latitude=1", "/map/map.php?tag=X&longitude=181&latitude=0",
          "/map/map.php?tag=X&longitude=0&latitude=-90.5", "/map/map.php?tag=X&longitude=1",
          "/map/map.php?longitude=1&latitude=1", "/map/map.php?tag=X&longitude=1e999&latitude=0",
          "/map/map.php?tag=X&longitude=nan&latitude=0", "/map/map.php?tag=X&longitude=&latitude=5"}) {
        EXPECT_EQ(Get(port(), target).status, 400) << target.constData();
    }
    EXPECT_EQ(Get(port(), "/map/map.php?tag=" + QByteArray(500, 'x') + "&longitude=1&latitude=1").status, 400);
}

TEST_F(ListServiceTest, SitePagesAnswerAndUnknownPathsAreNotFound)
{
    const HttpAnswer seeker = Get(port(), "/ipseeker.php");
    EXPECT_EQ(seeker.status, 200);
    EXPECT_TRUE(seeker.body.contains("127.0.0.1"));
    const HttpAnswer info = Get(port(), "/info.php?&LANG=English");
    EXPECT_EQ(info.status, 200);
    EXPECT_TRUE(info.body.contains("449px"));
    for (const QByteArray target : {"/help.php?&LANG=English&ACTION=help&CPOS=0", "/", "/redirect.php?&ACTION=x"})
        EXPECT_EQ(Get(port(), target).status, 200) << target.constData();
    EXPECT_TRUE(Get(port(), "/help.php?&ACTION=<b>&CPOS=0").body.contains("&lt;b&gt;"));
    EXPECT_EQ(Get(port(), "/nothing.php").status, 404);
}

TEST_F(ListServiceTest, HeadAnswersWithoutBodyAndOtherMethodsAreRefused)
{
    const HttpAnswer head = RawExchange(port(), "HEAD /getip.php?VER=1 HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.isEmpty());
    EXPECT_EQ(RawExchange(port(), "POST /getproxy.php HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc").status, 405);
}

TEST_F(ListServiceTest, MalformedRequestsGetAnErrorAndNeverStopTheService)
{
    const QByteArray garbage[] = {
        "\r\n\r\n",
        "GARBAGE\r\n\r\n",
        "GET\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "GET nothing-absolute HTTP/1.1\r\n\r\n",
        "get / HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nno colon here\r\n\r\n",
        QByteArray("GET /a\0b HTTP/1.1\r\n\r\n", 21),
        "GET /getip.php?VER=%ZZ&%%%=%=% HTTP/1.1\r\n\r\n",
        "GET /%00 HTTP/1.1\r\n\r\n",
        QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 16), // a TLS hello
    };
    for (const QByteArray& request : garbage) {
        const HttpAnswer a = RawExchange(port(), request);
        EXPECT_GE(a.status, 400) << request.toPercentEncoding().constData();
        EXPECT_LT(a.status, 600) << request.toPercentEncoding().constData();
    }
    ExpectStillServing();
}

TEST_F(ListServiceTest, HugeRequestsAreRejected)
{
    EXPECT_EQ(RawExchange(port(), "GET /" + QByteArray(100000, 'a') + " HTTP/1.1\r\n\r\n").status, 414);
    EXPECT_EQ(RawExchange(port(), "GET /" + QByteArray(100000, 'a')).status, 414) << "no line end at all";
    QByteArray headers = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 2000; ++i)
        headers += "X-Filler-" + QByteArray::number(i) + ": some value\r\n";
    EXPECT_EQ(RawExchange(port(), headers + "\r\n").status, 431);
    ExpectStillServing();
}

// Every connection counts against its client's address, on the plain and the TLS port alike.
TEST(ListServiceLimits, OneAddressCannotHoldMoreThanItsShareOfConnections)
{
    ListServiceFixture service;
    ListServiceFixture::Options options;
    options.maxPerAddress = 3;
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();

    std::vector<std::unique_ptr<QTcpSocket>> holders;
    for (int port : {service.port(), service.port(), service.tlsPort()}) {
        auto& s = holders.emplace_back(std::make_unique<QTcpSocket>());
        s->connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
        ASSERT_TRUE(s->waitForConnected(5000));
    }
    // Answered only once the service has taken the connections above from both ports.
    const HttpAnswer other =
        RawExchange(service.port(), "GET /getip.php?VER=1 HTTP/1.1\r\n\r\n", 5000, QHostAddress("127.0.0.2"));
    EXPECT_EQ(other.status, 200) << "another address is still served";
    EXPECT_EQ(other.body, "127.0.0.2");

    const QDeadlineTimer quick(5000);
    const HttpAnswer refused = RawExchange(service.port(), "GET /getip.php?VER=1 HTTP/1.1\r\n\r\n", 8000);
    EXPECT_EQ(refused.status, 0) << "a fourth connection from 127.0.0.1 is closed at once";
    EXPECT_FALSE(quick.hasExpired()) << "closed, not left to time out";

    holders.front()->abort();
    EXPECT_TRUE(testsupport::waitUntil([&] { return Get(service.port(), "/getip.php?VER=1").status == 200; }, 5000))
        << "a freed slot is given out again";
    EXPECT_TRUE(service.isRunning());
}

// A hundred clients arriving while the service is busy wait in the kernel's queue for it rather than
// having their connections dropped and tried again by TCP a second later.
TEST(ListServiceLimits, ABurstOfClientsWhileTheServiceIsBusyIsQueuedNotDropped)
{
    ListServiceFixture service;
    ASSERT_TRUE(service.start()) << service.errorText().toStdString();
    const auto pid = static_cast<pid_t>(service.processId());
    ASSERT_EQ(::kill(pid, SIGSTOP), 0); // busy as busy gets: it accepts nothing
    constexpr int kClients = 150;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(service.port()));
    }
    auto connected = [&] {
        return std::count_if(clients.cbegin(), clients.cend(),
                             [](const auto& c) { return c->state() == QAbstractSocket::ConnectedState; });
    };
    // Well below the second after which TCP sends a dropped SYN again.
    const bool allIn = testsupport::waitUntil([&] { return connected() == kClients; }, 700);
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(allIn) << connected() << " of " << kClients << " connected";
    for (auto& c : clients)
        EXPECT_EQ(ExchangeOn(*c, "GET /getip.php?VER=1 HTTP/1.1\r\n\r\n", 10000).status, 200);
}

// A decoded line break in a path must not forge lines in either log.
TEST(ListServiceLogs, RequestPathsStayOnOneLineInBothLogs)
{
    ListServiceFixture service;
    ListServiceFixture::Options options;
    options.verbose = true;
    options.logRequests = true;
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();
    EXPECT_EQ(Get(service.port(), "/x%0d%0a10.0.0.1 GET /admin 200%0a%1b[2J").status, 404);
    const QByteArray logged = "GET /x%0D%0A10.0.0.1 GET /admin 200%0A%1B[2J";
    QByteArray err;
    ASSERT_TRUE(testsupport::waitUntil([&] { return (err = service.errorOutput()).contains(" 404\n"); }, 5000))
        << err.constData();
    EXPECT_TRUE(err.contains("127.0.0.1 " + logged + " 404\n")) << err.constData();
    for (const QByteArray& line : err.split('\n'))
        EXPECT_FALSE(line.startsWith("10.0.0.1")) << line.constData();
    EXPECT_EQ(service.requests(), QStringList{QString::fromUtf8(logged)});
}

TEST(ListServiceStartup, BadPoolLinesAreSkippedWithTheirLineNumbers)
{
    ListServiceFixture service;
    ASSERT_TRUE(service.startWithPoolText("# comment\n"
                                          "127.0.0.1:3128|a|France||2.3|48.8\n"
                                          "too|few|fields\n"
                                          "127.0.0.1:99999|a|France||2.3|48.8\n"
                                          "127.0.0.1:1|a|France||200|48.8\n"
                                          "\r\n"
                                          "127.0.0.1:3129|a|Japan||139.7|35.7\r\n"))
        << service.errorText().toStdString();
    const auto v = NameValues(Get(service.port(), "/getproxy.php").body);
    EXPECT_EQ(v.value("proxycount"), "2");
    EXPECT_TRUE(v.value("proxy_1").startsWith("127.0.0.1:3129|a|Japan|"));
    const QByteArray err = service.errorOutput();
    EXPECT_TRUE(err.contains("line 3")) << err.constData();
    EXPECT_TRUE(err.contains("line 4"));
    EXPECT_TRUE(err.contains("line 5"));
}

// The example files a self-hosting user starts from must work as shipped.
TEST(ListServiceStartup, ShippedExampleFilesAreAccepted)
{
    QString source = qEnvironmentVariable("VEILPORT_SOURCE_DIR");
    if (source.isEmpty())
        source = QStringLiteral(VEILPORT_TEST_SOURCE_DIR);
    QProcess service;
    service.start(ListServiceFixture::executablePath(),
                  {"--port", "0", "--pool", source + "/tools/listservice/pool.example", "--config",
                   source + "/tools/listservice/listservice.conf.example"});
    ASSERT_TRUE(service.waitForStarted(10000));
    // "listening on http://127.0.0.1:<port>/"
    const QByteArray out = OutputUntil(service, "/\n");
    const int port = out.endsWith("/\n") ? out.mid(out.lastIndexOf(':') + 1).chopped(2).toInt() : 0;
    ASSERT_GT(port, 0) << out.constData() << service.readAllStandardError().constData();
    const QByteArray list = Get(port, "/getproxy.php").body;
    EXPECT_TRUE(list.contains("ProxyCount=4\r\n")) << list.constData();
    EXPECT_TRUE(service.readAllStandardError().isEmpty()) << "no line of the examples is rejected";
    service.kill();
    service.waitForFinished(5000);
}

// SIGTERM (systemd's stop) and SIGINT (Ctrl+C) end the event loop; the service exits with 0.
TEST(ListServiceStartup, TerminationSignalsEndTheServiceNormally)
{
    for (int signal : {SIGTERM, SIGINT}) {
        QProcess service;
        service.start(ListServiceFixture::executablePath(), {"--port", "0"});
        ASSERT_TRUE(service.waitForStarted(10000));
        const QByteArray out = OutputUntil(service, "\n");
        ASSERT_TRUE(out.contains("listening on http://")) << out.constData();
        ::kill(static_cast<pid_t>(service.processId()), signal);
        ASSERT_TRUE(service.waitForFinished(5000)) << signal;
        EXPECT_EQ(service.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(service.exitCode(), 0) << signal;
    }
}

TEST(ListServiceStartup, UnknownConfigNamesStopTheService)
{
    testsupport::TempDir dir;
    const QString conf = dir.write("bad.conf", "LocalCountry=Japan\nMagicWrod=typo\n");
    QProcess service;
    service.start(ListServiceFixture::executablePath(), {"--port", "0", "--config", conf});
    ASSERT_TRUE(service.waitForFinished(10000));
    EXPECT_EQ(service.exitCode(), 2);
    EXPECT_TRUE(service.readAllStandardError().contains("bad.conf:2")) << "the error names the line";
}

} // namespace
