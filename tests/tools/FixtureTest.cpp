// The shared fixtures themselves: other tests trust that what they start really works and really stops.
#include "HttpExchange.h"
#include "support/ListServiceFixture.h"
#include "support/TinyproxyFixture.h"

#include <QSet>

#include <gtest/gtest.h>

using testsupport::ListServiceFixture;
using testsupport::TinyproxyFixture;

namespace {

bool Refuses(int port)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    return !s.waitForConnected(2000);
}

TEST(TinyproxyFixture, StartedProxyPassesARequestThroughToTheListService)
{
    ListServiceFixture service;
    ASSERT_TRUE(service.start()) << service.errorText().toStdString();
    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();

    const QByteArray target = service.url("/getip.php?VER=1").toUtf8();
    const HttpAnswer a =
        RawExchange(proxies.port(0), "GET " + target + " HTTP/1.1\r\nHost: " + service.host().toUtf8() +
                                         "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(a.status, 200) << a.head.constData();
    EXPECT_EQ(a.body, testsupport::TinyproxyFixture::outgoingAddress(0).toUtf8()); // it leaves from its own address
    EXPECT_FALSE(a.head.contains("Via:")) << "the proxies act as anonymous ones";
    EXPECT_EQ(proxies.proxyText(0), QStringLiteral("127.0.0.1:%1").arg(proxies.port(0)));
}

TEST(TinyproxyFixture, InstancesGetDistinctPortsAndStopOneByOne)
{
    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(3)) << proxies.errorText().toStdString();
    ASSERT_EQ(proxies.count(), 3);
    const QStringList texts = proxies.proxyTexts();
    EXPECT_EQ(QSet<QString>(texts.begin(), texts.end()).size(), 3);

    proxies.stop(1);
    EXPECT_FALSE(proxies.isRunning(1));
    EXPECT_TRUE(Refuses(proxies.port(1)));
    EXPECT_TRUE(proxies.isRunning(0));
    EXPECT_FALSE(Refuses(proxies.port(2)));
}

TEST(TinyproxyFixture, DestructionStopsEveryInstance)
{
    QList<int> ports;
    {
        TinyproxyFixture proxies;
        ASSERT_TRUE(proxies.start(2)) << proxies.errorText().toStdString();
        ports << proxies.port(0) << proxies.port(1);
    }
    for (int port : ports)
        EXPECT_TRUE(Refuses(port)) << port;
    EXPECT_TRUE(Refuses(TinyproxyFixture::deadProxyText().section(':', 1).toInt()));
}

TEST(ListServiceFixture, StopFreesThePortAndOemDatPointsAtTheService)
{
    ListServiceFixture service;
    ASSERT_TRUE(service.start({{"127.0.0.1:1", "France", "2.35", "48.85"}})) << service.errorText().toStdString();
    const int port = service.port();
    EXPECT_GT(port, 0);
    const QByteArray oem = service.oemDat();
    EXPECT_TRUE(oem.startsWith("[const]\n"));
    EXPECT_TRUE(oem.contains("URL.ServiceHost=127.0.0.1:" + QByteArray::number(port) + "\n"));
    EXPECT_TRUE(oem.contains("URL.GETPROXY=http://127.0.0.1:" + QByteArray::number(port) + "/getproxy.php\n"));
    service.stop();
    EXPECT_FALSE(service.isRunning());
    EXPECT_TRUE(Refuses(port));
}

} // namespace
