// The list service's HTTP layer, where a rule can be shown without a real network.
#include "HttpServer.h"

#include <gtest/gtest.h>

// A subscriber commonly holds a whole IPv6 /64, so its addresses count together against the limit of
// connections per client; the loopback network offers only ::1, hence no real connections here.
TEST(HttpServer, ConnectionsCountPerIPv4AddressAndPerIPv6Slash64)
{
    auto key = [](const char* address) { return HttpServer::clientKey(QHostAddress(QString::fromLatin1(address))); };
    EXPECT_EQ(key("2001:db8:1:2::5"), key("2001:db8:1:2:ffff:ffff:ffff:ffff"));
    EXPECT_NE(key("2001:db8:1:2::5"), key("2001:db8:1:3::5"));
    EXPECT_NE(key("2001:db8:1:2::5"), key("2001:db9:1:2::5"));
    EXPECT_NE(key("192.0.2.1"), key("192.0.2.2"));
    EXPECT_EQ(key("::ffff:192.0.2.1"), key("192.0.2.1")) << "an IPv4 caller on a dual-stack socket";
}
