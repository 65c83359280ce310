// The private network the tests with real browsers run in: loopback and the test's own names work, for the test
// and every process it starts, and nothing else can be reached. Only addresses reserved for documentation and
// benchmarks are tried, so even a broken namespace sends nothing anywhere that could answer.
#include "support/PrivateNetwork.h"

#include "support/LoopbackHttpResponder.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using testsupport::PrivateNetwork;

namespace {

const QString kSiteName = QStringLiteral("site.veilport.test");

// Which network namespace this process is in, empty when that cannot be read.
QByteArray networkNamespace()
{
    char target[64] = {};
    const ssize_t size = ::readlink("/proc/self/ns/net", target, sizeof target - 1);
    return size > 0 ? QByteArray(target, int(size)) : QByteArray();
}

// Initialised in this order: the machine's namespace is read before the private one is entered.
const QByteArray g_machineNamespace = networkNamespace();
const bool g_privateNetwork = PrivateNetwork::enter({kSiteName});

// errno of a plain blocking connect to address port 80, 0 when it connects.
int connectError(const char* address)
{
    const bool ipv6 = std::strchr(address, ':') != nullptr;
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    sockaddr_storage peer{};
    socklen_t size = 0;
    if (ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&peer);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(80);
        ::inet_pton(AF_INET6, address, &in6->sin6_addr);
        size = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&peer);
        in->sin_family = AF_INET;
        in->sin_port = htons(80);
        ::inet_pton(AF_INET, address, &in->sin_addr);
        size = sizeof *in;
    }
    const int error = ::connect(fd, reinterpret_cast<sockaddr*>(&peer), size) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

struct Finished
{
    int exitCode = -1;
    QByteArray output;
};

Finished run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    Finished result;
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.output = process.readAll();
    return result;
}

class PrivateNetworkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!g_privateNetwork)
            GTEST_SKIP() << "needs a private network: " << PrivateNetwork::error().toStdString();
    }
};

} // namespace

TEST_F(PrivateNetworkTest, OnlyLoopbackAndTheTestsNamesAreReachableFromHereAndFromEveryProcessStartedHere)
{
    // Checked first, so that a process outside the namespace never tries an address beyond the machine.
    const std::string own = networkNamespace().toStdString();
    ASSERT_FALSE(own.empty());
    ASSERT_NE(own, g_machineNamespace.toStdString()) << "still in the machine's network namespace";
    const Finished child = run(QStringLiteral("readlink"), {QStringLiteral("/proc/self/ns/net")});
    ASSERT_EQ(child.output.trimmed().toStdString(), own) << "a started process is not in the test's network namespace";

    // Refused by the routing table at once: nothing is sent, nothing waits for an answer.
    EXPECT_EQ(connectError("192.0.2.1"), ENETUNREACH) << std::strerror(connectError("192.0.2.1"));
    EXPECT_EQ(connectError("2001:db8::1"), ENETUNREACH) << std::strerror(connectError("2001:db8::1"));
    QElapsedTimer clock;
    clock.start();
    const Finished curl = run(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--max-time"),
                                                       QStringLiteral("20"), QStringLiteral("http://192.0.2.1/")});
    EXPECT_EQ(curl.exitCode, 7) << curl.output.toStdString(); // could not connect
    EXPECT_LT(clock.elapsed(), 10000) << "curl waited for an address it should not reach at all";

    // The test's own site, under its private name, is there for a started process.
    testsupport::LoopbackHttpResponder site;
    ASSERT_TRUE(site.listen(1));
    site.setReply(200, "inside");
    site.recordVisits();
    site.start();
    const QString url = QStringLiteral("http://%1:%2/").arg(kSiteName).arg(site.port(0));
    const Finished visit =
        run(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("20"),
                                     QStringLiteral("--noproxy"), QStringLiteral("*"), url});
    EXPECT_EQ(visit.exitCode, 0) << visit.output.toStdString();
    EXPECT_EQ(visit.output, "inside");
    ASSERT_EQ(site.visits().size(), 1);
    EXPECT_EQ(site.visits().first().peer, "curl");
}
