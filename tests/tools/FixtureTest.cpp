// The shared fixtures leave nothing behind: every other test trusts that a proxy or list service it
// started is gone with the fixture, and a leak would pass unnoticed everywhere else.
#include "support/ListServiceFixture.h"
#include "support/TinyproxyFixture.h"

#include <QTcpSocket>

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

TEST(Fixtures, DestructionStopsEveryProxyAndTheListServiceAndTheDeadProxyIsDead)
{
    QList<int> ports;
    {
        TinyproxyFixture proxies;
        ASSERT_TRUE(proxies.start(2)) << proxies.errorText().toStdString();
        ListServiceFixture service;
        ASSERT_TRUE(service.start()) << service.errorText().toStdString();
        ports << proxies.port(0) << proxies.port(1) << service.port();
        for (int port : ports)
            ASSERT_FALSE(Refuses(port)) << port;
    }
    for (int port : ports)
        EXPECT_TRUE(Refuses(port)) << port;
    // Tests of a dead proxy would pass against anything that answers on its port without being a proxy.
    EXPECT_TRUE(Refuses(TinyproxyFixture::deadProxyText().section(':', 1).toInt()));
}

} // namespace
