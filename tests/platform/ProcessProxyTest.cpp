#include "platform/ProcessProxy.h"
#include "platform/ProxyAddress.h"

#include <QNetworkProxy>

#include <gtest/gtest.h>

using platform::ProxyAddress;

TEST(ProxyAddress, TakesHostAndPortApartAndRefusesWhatNoProxySettingCanHold)
{
    const ProxyAddress ok = ProxyAddress::parse(QStringLiteral("10.0.0.1:3128"));
    EXPECT_TRUE(ok.isValid());
    EXPECT_EQ(ok.host, QStringLiteral("10.0.0.1"));
    EXPECT_EQ(ok.port, 3128);
    EXPECT_EQ(ProxyAddress::parse(QStringLiteral("proxy.example-1.net:80")).host,
              QStringLiteral("proxy.example-1.net"));

    for (const char* bad : {"", "10.0.0.1", ":80", "host:", "host:0", "host:65536", "host:+80", "host:8 0", "ho st:80",
                            "host':80", "-host:80", "a/b:80", "host:80x"}) {
        EXPECT_FALSE(ProxyAddress::parse(QString::fromLatin1(bad)).isValid()) << bad;
    }
}

TEST(ProcessProxy, SendsTheProgramsOwnRequestsThroughTheProxyAndBackToDirect)
{
    ASSERT_TRUE(platform::setProcessProxy(QStringLiteral("1.2.3.4:8080")));
    QNetworkProxy proxy = QNetworkProxy::applicationProxy();
    EXPECT_EQ(proxy.type(), QNetworkProxy::HttpProxy);
    EXPECT_EQ(proxy.hostName(), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(proxy.port(), 8080);
    EXPECT_EQ(platform::processProxy(), QStringLiteral("1.2.3.4:8080"));

    // A text that is no proxy changes nothing: the caller reports it.
    EXPECT_FALSE(platform::setProcessProxy(QStringLiteral("1.2.3.4")));
    EXPECT_EQ(platform::processProxy(), QStringLiteral("1.2.3.4:8080"));

    ASSERT_TRUE(platform::setProcessProxy(QString()));
    EXPECT_EQ(QNetworkProxy::applicationProxy().type(), QNetworkProxy::NoProxy);
    EXPECT_TRUE(platform::processProxy().isEmpty());
}
