// The blocking endpoint driven by real clients: curl through it as an HTTP proxy gets the blocked page for
// every plain request and a refusal for every tunnel; hostile clients (an endless head, a silent connection,
// thousands of held connections) are closed within the endpoint's limits while a new client is still answered.
// Everything stays on loopback.
#include "net/BlockingEndpoint.h"

#include "support/CurlRun.h"
#include "support/HostilePeerLimits.h"
#include "support/TempDir.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

using testsupport::curl;
using testsupport::CurlRun;
using testsupport::describe;
using testsupport::kMiB;
using testsupport::residentKiB;
using testsupport::waitUntil;

namespace {

// A non-blocking socket connecting to 127.0.0.1:port; -1 when none could be made.
int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the other side has closed fd (end of stream or reset) within timeoutMs.
bool closedByPeer(int fd, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!clock.hasExpired(timeoutMs)) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
    }
    return false;
}

// Sockets closed with the test, whatever it ends with.
struct Sockets
{
    std::vector<int> fds;
    ~Sockets()
    {
        for (const int fd : fds)
            ::close(fd);
    }
};

const QString kTitle = QStringLiteral("Blocked <now> & \"for good\"");
const QString kSentence = QStringLiteral("No proxy is left.\nNothing <b>leaves</b> this machine.");

} // namespace

TEST(BlockingEndpoint, CurlThroughItGetsThePageForEveryPlainRequestAndNoTunnel)
{
    testsupport::TempDir dir;
    BlockingEndpoint endpoint;
    endpoint.setPage(kTitle, kSentence);
    ASSERT_TRUE(endpoint.start()) << endpoint.errorString().toStdString();
    ASSERT_TRUE(endpoint.isRunning());
    const QString proxy = QStringLiteral("http://") + endpoint.proxyAddress();

    const CurlRun get = curl({"-x", proxy, "http://site.veilport.test/some/page?q=1"});
    EXPECT_EQ(get.exitCode, 0) << describe(get);
    EXPECT_TRUE(get.out.startsWith("HTTP/1.1 503 ")) << describe(get);
    EXPECT_TRUE(get.out.contains("\r\nCache-Control: no-store\r\n")) << describe(get);
    EXPECT_TRUE(get.out.contains("\r\nConnection: close\r\n")) << describe(get);
    EXPECT_TRUE(get.out.contains("Content-Type: text/html; charset=utf-8")) << describe(get);
    // The caller's words, shown as text wherever they appear.
    EXPECT_TRUE(get.out.contains("<title>Blocked &lt;now&gt; &amp; &quot;for good&quot;</title>")) << describe(get);
    EXPECT_TRUE(get.out.contains("No proxy is left.<br>Nothing &lt;b&gt;leaves&lt;/b&gt; this machine."))
        << describe(get);
    EXPECT_FALSE(get.out.contains("<b>leaves")) << describe(get);

    // A request whose body is still arriving when the answer is sent: the answer must not be lost to a reset.
    const QString upload = dir.write(QStringLiteral("upload.bin"), QByteArray(2 * 1024 * 1024, 'x'));
    const CurlRun post = curl({"-x", proxy, "-H", "Expect:", "--data-binary", "@" + upload, "http://site.test/form"});
    EXPECT_EQ(post.exitCode, 0) << describe(post);
    EXPECT_TRUE(post.out.startsWith("HTTP/1.1 503 ")) << describe(post);
    EXPECT_TRUE(post.out.contains("this machine.</p>")) << describe(post);

    // Asked directly, as a server rather than a proxy, and with HEAD.
    const CurlRun direct = curl({QStringLiteral("http://%1/direct").arg(endpoint.proxyAddress())});
    EXPECT_EQ(direct.exitCode, 0) << describe(direct);
    EXPECT_TRUE(direct.out.contains("this machine.</p>")) << describe(direct);
    const CurlRun head = curl({"-x", proxy, "-I", "http://site.veilport.test/"});
    EXPECT_EQ(head.exitCode, 0) << describe(head);
    EXPECT_TRUE(head.out.startsWith("HTTP/1.1 503 ")) << describe(head);
    EXPECT_FALSE(head.out.contains("<html>")) << describe(head);

    // A secure page fails at the tunnel; nothing is ever forwarded.
    const CurlRun secure = curl({"-x", proxy, "https://site.veilport.test/"});
    EXPECT_NE(secure.exitCode, 0) << describe(secure);
    EXPECT_TRUE(secure.err.contains("403")) << describe(secure);
    const CurlRun tunnel = curl({"-x", proxy, "-p", "http://site.veilport.test/"});
    EXPECT_NE(tunnel.exitCode, 0) << describe(tunnel);

    // The text can change while serving.
    endpoint.setPage(QStringLiteral("Gesperrt"), QStringLiteral("Kein Proxy übrig."));
    const CurlRun german = curl({"-x", proxy, "http://site.veilport.test/"});
    EXPECT_TRUE(german.out.contains("<title>Gesperrt</title>")) << describe(german);
    EXPECT_TRUE(german.out.contains(QStringLiteral("Kein Proxy übrig.").toUtf8())) << describe(german);

    EXPECT_EQ(endpoint.requestsAnswered(), 5u);
    EXPECT_EQ(endpoint.connectsRefused(), 2u);
    EXPECT_EQ(endpoint.connectionsDropped(), 0u);

    const quint16 port = endpoint.port();
    endpoint.stop();
    EXPECT_FALSE(endpoint.isRunning());
    EXPECT_EQ(endpoint.port(), 0);
    const CurlRun stopped = curl({QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    EXPECT_EQ(stopped.exitCode, 7) << "nothing listens any more: " << describe(stopped);
}

TEST(BlockingEndpoint, AClientThatNeverEndsItsRequestOrSendsNothingIsClosedWithinTheLimits)
{
    BlockingLimits limits;
    limits.maxRequestBytes = 8 * 1024;
    limits.requestTimeoutMs = 500;
    BlockingEndpoint endpoint(limits);
    ASSERT_TRUE(endpoint.start());
    const qint64 before = residentKiB();

    Sockets sockets;
    const int silent = connectTo(endpoint.port());
    const int endless = connectTo(endpoint.port());
    ASSERT_GE(silent, 0);
    ASSERT_GE(endless, 0);
    sockets.fds = {silent, endless};

    // A head that never ends: the endpoint closes the connection long before 64 MiB have gone out.
    const QByteArray line = "X-Pad: " + QByteArray(1017, 'p') + "\r\n";
    const QByteArray first = "GET http://site.test/ HTTP/1.1\r\n" + line;
    qint64 sent = 0;
    bool refused = false;
    QElapsedTimer clock;
    clock.start();
    while (!refused && sent < 64 * kMiB && !clock.hasExpired(20000)) {
        pollfd entry{endless, POLLOUT, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        const QByteArray& chunk = sent == 0 ? first : line;
        const ssize_t n = ::send(endless, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            refused = true;
    }
    EXPECT_TRUE(refused) << sent << " bytes sent without the connection being closed";
    EXPECT_LT(sent, 32 * kMiB);

    // A client that says nothing is closed once its time is up.
    EXPECT_TRUE(closedByPeer(silent, 10000));
    EXPECT_TRUE(waitUntil([&] { return endpoint.connectionsDropped() == 2 && endpoint.openConnections() == 0; }))
        << endpoint.connectionsDropped() << " dropped, " << endpoint.openConnections() << " open";
    EXPECT_EQ(endpoint.requestsAnswered(), 0u);
    EXPECT_LT(residentKiB() - before, 32 * 1024);
}

TEST(BlockingEndpoint, ThousandsOfHeldConnectionsStayBoundedWhileANewClientIsAnswered)
{
    constexpr int kFlood = 3000;
    BlockingLimits limits;
    limits.maxConnections = 64;
    limits.maxRequestBytes = 4096;
    // Longer than the test: only the bound on their number can close the flood's connections.
    limits.requestTimeoutMs = 120000;
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < kFlood + 512) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kFlood + 512);
        ::setrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_cur < kFlood + 512)
            GTEST_SKIP() << "this process may open only " << files.rlim_cur << " files";
    }

    BlockingEndpoint endpoint(limits);
    ASSERT_TRUE(endpoint.start());
    const qint64 before = residentKiB();

    // Every connection of the flood sends the start of a request and then holds on. This thread never returns to
    // its event loop meanwhile, as a busy window would not: the endpoint does not need it.
    Sockets flood;
    for (int i = 0; i < kFlood; ++i) {
        const int fd = connectTo(endpoint.port());
        ASSERT_GE(fd, 0) << "connection " << i << ": " << strerror(errno);
        flood.fds.push_back(fd);
    }
    const QByteArray start = "GET http://flood.test/ HTTP/1.1\r\nHost: flood.test\r\nX-Pad: " + QByteArray(900, 'f');
    std::vector<bool> started(flood.fds.size(), false);
    int connected = 0;
    QElapsedTimer clock;
    clock.start();
    while (connected < kFlood && !clock.hasExpired(60000)) {
        std::vector<pollfd> waiting;
        for (size_t i = 0; i < flood.fds.size(); ++i) {
            if (!started[i])
                waiting.push_back({flood.fds[i], POLLOUT, 0});
        }
        if (::poll(waiting.data(), waiting.size(), 200) <= 0)
            continue;
        for (size_t i = 0, w = 0; i < flood.fds.size(); ++i) {
            if (started[i])
                continue;
            const pollfd& entry = waiting[w++];
            if (entry.revents == 0)
                continue;
            started[i] = true;
            ++connected;
            ::send(entry.fd, start.constData(), size_t(start.size()), MSG_NOSIGNAL);
        }
    }
    EXPECT_EQ(connected, kFlood) << "the flood could not connect in time";

    // While the flood holds on, a new client gets its page at once.
    const CurlRun fresh = curl({"-x", "http://" + endpoint.proxyAddress(), "http://fresh.veilport.test/"});
    EXPECT_EQ(fresh.exitCode, 0) << describe(fresh);
    EXPECT_TRUE(fresh.out.startsWith("HTTP/1.1 503 ")) << describe(fresh);
    EXPECT_LT(fresh.elapsedMs, 5000);
    EXPECT_EQ(endpoint.requestsAnswered(), 1u);

    // Every connection the flood made was taken, and all but the newest were closed again.
    EXPECT_TRUE(waitUntil([&] { return endpoint.connectionsDropped() + endpoint.openConnections() >= kFlood; }, 30000))
        << endpoint.connectionsDropped() << " dropped, " << endpoint.openConnections() << " open";
    EXPECT_LE(endpoint.peakConnections(), limits.maxConnections);
    EXPECT_LE(endpoint.openConnections(), limits.maxConnections);
    EXPECT_LT(residentKiB() - before, 32 * 1024);

    // Stopping closes what is still open.
    endpoint.stop();
    EXPECT_EQ(endpoint.openConnections(), 0);
    EXPECT_TRUE(closedByPeer(flood.fds.back(), 5000));
}
