#include "platform/ProcessProxy.h"
#include "platform/ProxyAddress.h"

#include <QNetworkProxy>
#include <QObject>
#include <QStringList>

#include <memory>

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

    EXPECT_FALSE(ok.socks5);
    const ProxyAddress socks = ProxyAddress::parse(QStringLiteral("SOCKS5://10.0.0.2:1080"));
    EXPECT_TRUE(socks.isValid());
    EXPECT_TRUE(socks.socks5);
    EXPECT_EQ(socks.host, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(socks.text(), QStringLiteral("socks5://10.0.0.2:1080"));

    for (const char* bad :
         {"", "10.0.0.1", ":80", "host:", "host:0", "host:65536", "host:+80", "host:8 0", "ho st:80", "host':80",
          "-host:80", "a/b:80", "host:80x", "socks4://host:80", "http://host:80", "socks5://", "socks5://host"}) {
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

    // A SOCKS5 proxy: Qt's (and the web view's) SOCKS5 proxy, which resolves the names.
    ASSERT_TRUE(platform::setProcessProxy(QStringLiteral("socks5://1.2.3.5:1080")));
    proxy = QNetworkProxy::applicationProxy();
    EXPECT_EQ(proxy.type(), QNetworkProxy::Socks5Proxy);
    EXPECT_EQ(proxy.hostName(), QStringLiteral("1.2.3.5"));
    EXPECT_EQ(proxy.port(), 1080);
    EXPECT_TRUE(proxy.capabilities().testFlag(QNetworkProxy::HostNameLookupCapability));
    EXPECT_EQ(platform::processProxy(), QStringLiteral("socks5://1.2.3.5:1080"));

    ASSERT_TRUE(platform::setProcessProxy(QString()));
    EXPECT_EQ(QNetworkProxy::applicationProxy().type(), QNetworkProxy::NoProxy);
    EXPECT_TRUE(platform::processProxy().isEmpty());
}

// A watcher hears each change once, never the same value set again, and nothing after its context is gone.
TEST(ProcessProxy, WatchersHearChangesOnly)
{
    ASSERT_TRUE(platform::setProcessProxy(QString()));
    QStringList heard;
    auto context = std::make_unique<QObject>();
    platform::watchProcessProxy(context.get(), [&heard](const QString& proxy) { heard << proxy; });
    ASSERT_TRUE(platform::setProcessProxy(QStringLiteral("1.2.3.4:8080")));
    ASSERT_TRUE(platform::setProcessProxy(QStringLiteral("1.2.3.4:8080")));
    ASSERT_FALSE(platform::setProcessProxy(QStringLiteral("1.2.3.4")));
    ASSERT_TRUE(platform::setProcessProxy(QString()));
    ASSERT_TRUE(platform::setProcessProxy(QString()));
    EXPECT_EQ(heard, QStringList({QStringLiteral("1.2.3.4:8080"), QString()}));
    context.reset();
    ASSERT_TRUE(platform::setProcessProxy(QStringLiteral("1.2.3.5:8080")));
    ASSERT_TRUE(platform::setProcessProxy(QString()));
    EXPECT_EQ(heard.size(), 2);
}
