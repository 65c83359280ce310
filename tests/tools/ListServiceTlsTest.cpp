// The list service's TLS port, which the program's tunnel test reaches through each proxy's CONNECT.
#include "HttpExchange.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

using testsupport::ListServiceFixture;
using testsupport::TinyproxyFixture;

namespace {

QByteArray AddressCheckRequest(const ListServiceFixture& service)
{
    return "GET /getip.php?VER=2 HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(service.tlsPort()) +
           "\r\nX-Veilport-Probe: tunnel\r\nConnection: close\r\n\r\n";
}

class ListServiceTls : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service.start({{"127.0.0.1:3128", "Japan", "139.7", "35.7"}})) << service.errorText().toStdString();
        ASSERT_GT(service.tlsPort(), 0);
    }

    ListServiceFixture service;
};

TEST_F(ListServiceTls, ServesTheSameAnswersOverTlsDirectlyAndThroughAProxyTunnel)
{
    EXPECT_TRUE(service.oemDat().contains("URL.TUNNELTEST=https://127.0.0.1:" + QByteArray::number(service.tlsPort()) +
                                          "/getip.php?VER=2\n"));
    const HttpAnswer list = TlsExchange(service.tlsPort(), "GET /getproxy.php HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(list.status, 200);
    EXPECT_TRUE(list.body.contains("ProxyCount=1\r\n")) << list.body.constData();

    const HttpAnswer direct = TlsExchange(service.tlsPort(), AddressCheckRequest(service));
    ASSERT_EQ(direct.status, 200) << direct.head.constData();
    EXPECT_EQ(direct.body, "RemoteAddr=127.0.0.1\r\nHeader.X-Veilport-Probe=tunnel\r\nHeader.Connection=close\r\n");

    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
    const HttpAnswer tunnelled = TlsExchange(service.tlsPort(), AddressCheckRequest(service), proxies.port(0));
    ASSERT_EQ(tunnelled.status, 200) << tunnelled.head.constData();
    // A tunnel passes the request on untouched; only the address it leaves from differs.
    EXPECT_EQ(tunnelled.body,
              QByteArray(direct.body).replace("127.0.0.1", TinyproxyFixture::outgoingAddress(0).toUtf8()));
    EXPECT_TRUE(proxies.log(0).contains("CONNECT 127.0.0.1:" + QByteArray::number(service.tlsPort())))
        << proxies.log(0).constData();
}

// Neither plain HTTP nor a half handshake on the TLS port may hold up anyone: garbage is dropped at
// once, a stalled handshake at the idle time-out, and both ports keep serving meanwhile.
TEST_F(ListServiceTls, GarbageAndStalledHandshakesDoNotHoldUpEitherPort)
{
    const QDeadlineTimer quick(5000);
    const HttpAnswer garbage =
        RawExchange(service.tlsPort(), "GET /getip.php?VER=1 HTTP/1.1\r\n\r\n" + QByteArray(4096, '\x16'));
    EXPECT_EQ(garbage.status, 0);
    EXPECT_FALSE(quick.hasExpired()) << "a client that speaks no TLS is dropped at once";

    QTcpSocket stalled;
    stalled.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(service.tlsPort()));
    ASSERT_TRUE(stalled.waitForConnected(5000));
    stalled.write(QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)); // a hello that never ends
    stalled.flush();

    EXPECT_EQ(Get(service.port(), "/getip.php?VER=1").status, 200);
    EXPECT_EQ(TlsExchange(service.tlsPort(), AddressCheckRequest(service)).status, 200);
    EXPECT_TRUE(stalled.waitForDisconnected(15000)) << "the stalled handshake is closed at the idle time-out";
    EXPECT_TRUE(service.isRunning());
}

// systemd hands a key that only root may read over with LoadCredential=, into $CREDENTIALS_DIRECTORY; a
// relative --cert and --key name such credentials, wherever the service runs.
TEST(ListServiceTlsStartup, RelativeCertificateAndKeyAreTakenFromTheCredentialsDirectory)
{
    ListServiceFixture made; // for its certificate and key
    ASSERT_TRUE(made.start()) << made.errorText().toStdString();
    made.stop();
    const QFileInfo key(made.keyFile());
    testsupport::TempDir elsewhere;
    QProcess service;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CREDENTIALS_DIRECTORY", key.path());
    service.setProcessEnvironment(environment);
    service.setWorkingDirectory(elsewhere.path());
    service.start(ListServiceFixture::executablePath(),
                  {"--port", "0", "--tls-port", "0", "--cert", QFileInfo(made.certificateFile()).fileName(), "--key",
                   key.fileName()});
    ASSERT_TRUE(service.waitForStarted(10000));
    const QByteArray out = OutputUntil(service, "listening on https://", 15000);
    EXPECT_TRUE(out.contains("listening on https://")) << out.constData() << service.readAllStandardError().constData();
    service.kill();
    service.waitForFinished(5000);
}

// A TLS port that cannot work is a configuration error, reported before the service claims to listen.
TEST(ListServiceTlsStartup, UnusableCertificatesStopTheServiceWithExitCodeTwo)
{
    ListServiceFixture first;
    ListServiceFixture second;
    ASSERT_TRUE(first.start()) << first.errorText().toStdString();
    ASSERT_TRUE(second.start()) << second.errorText().toStdString();
    first.stop();
    second.stop();
    testsupport::TempDir dir;
    const QString garbage = dir.write("garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n");
    struct Case
    {
        QStringList arguments;
        const char* said;
    };
    const QList<Case> cases = {
        {{"--cert", dir.file("missing.pem"), "--key", first.keyFile()}, "missing.pem"},
        {{"--cert", garbage, "--key", first.keyFile()}, "garbage.pem"},
        {{"--cert", first.certificateFile(), "--key", first.certificateFile()}, "private key"},
        {{"--cert", first.certificateFile(), "--key", second.keyFile()}, "does the key belong"},
        {{"--cert", first.certificateFile()}, "go together"},
    };
    for (const Case& c : cases) {
        QProcess service;
        service.start(ListServiceFixture::executablePath(),
                      QStringList{"--port", "0", "--tls-port", "0"} + c.arguments);
        ASSERT_TRUE(service.waitForFinished(15000)) << c.said;
        EXPECT_EQ(service.exitCode(), 2) << c.said;
        EXPECT_FALSE(service.readAllStandardOutput().contains("listening")) << c.said;
        EXPECT_TRUE(service.readAllStandardError().contains(c.said)) << c.said;
    }
}

} // namespace
