#include "platform/UnixInstanceChannel.h"
#include "support/InstanceChannelClient.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QUuid>

#include <gtest/gtest.h>

#include <future>
#include <optional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using platform::UnixInstanceChannel;
using testsupport::sendWhileServing;

namespace {

QString uniqueName()
{
    return QStringLiteral("Global\\test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// A raw client that talks to the holder's socket without the protocol.
int rawConnect(const QString& name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = name.toUtf8();
    memcpy(address.sun_path + 1, bytes.constData(), size_t(bytes.size()));
    // Non-blocking, so a full backlog fails the test instead of hanging it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(bytes.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Received
{
    quint32 message = 0;
    qint32 wParam = 0;
    QByteArray payload;
    int count = 0;
};

class InstanceChannelServing : public ::testing::Test
{
protected:
    void SetUp() override
    {
        name = uniqueName();
        ASSERT_TRUE(server.claim(name));
        server.serve([this](quint32 message, qint32 wParam, const QByteArray& payload) -> std::optional<qint32> {
            received.message = message;
            received.wParam = wParam;
            received.payload = payload;
            ++received.count;
            if (message == 999)
                return std::nullopt; // nobody there to receive it
            return qint32(message) + wParam;
        });
    }

    QString name;
    UnixInstanceChannel server;
    Received received;
};

} // namespace

TEST(InstanceChannel, ANameCanBeTakenOncePerMachine)
{
    const QString name = uniqueName();
    EXPECT_TRUE(platform::IsFirstInstance(name));
    EXPECT_FALSE(platform::IsFirstInstance(name));
    // Other names are independent of it.
    EXPECT_TRUE(platform::IsFirstInstance(uniqueName()));

    UnixInstanceChannel other;
    EXPECT_FALSE(other.claim(name));
    EXPECT_FALSE(other.isClaimed());
}

// However long the name, it is held until its holder is gone.
TEST(InstanceChannel, ANameIsFreeAgainOnceItsHolderIsGone)
{
    for (const QString& name : {uniqueName(), uniqueName() + QString(300, u'x')}) {
        {
            UnixInstanceChannel holder;
            ASSERT_TRUE(holder.claim(name)) << name.size();
            UnixInstanceChannel rival;
            EXPECT_FALSE(rival.claim(name)) << name.size();
        }
        UnixInstanceChannel next;
        EXPECT_TRUE(next.claim(name)) << name.size();
    }
}

TEST(InstanceChannel, SendingToANameNobodyHoldsGivesNoAnswer)
{
    UnixInstanceChannel client;
    EXPECT_EQ(client.send(uniqueName(), 2135, 0, {}, 2000), std::nullopt);
}

TEST(InstanceChannel, AHolderThatNeverAnswersReleasesTheSenderAfterItsTimeOut)
{
    const QString name = uniqueName();
    UnixInstanceChannel holder;
    ASSERT_TRUE(holder.claim(name)); // holds the name but never serves: a hung copy

    UnixInstanceChannel client;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(client.send(name, 2027, 0, {}, 300), std::nullopt);
    EXPECT_LT(timer.elapsed(), 5000);
}

TEST_F(InstanceChannelServing, MessageParameterAndPayloadArriveIntactAndTheAnswerComesBack)
{
    QByteArray payload("C:/some file.txt");
    EXPECT_EQ(sendWhileServing(name, 74, 5, payload), 79);
    EXPECT_EQ(received.message, 74u);
    EXPECT_EQ(received.wParam, 5);
    EXPECT_EQ(received.payload, payload);

    // The largest payload allowed, with every byte value.
    QByteArray big(int(UnixInstanceChannel::MaxPayload), '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    EXPECT_EQ(sendWhileServing(name, 1, -3, big), -2);
    EXPECT_EQ(received.payload, big);
    EXPECT_EQ(sendWhileServing(name, 2, 0, {}), 2);
    EXPECT_TRUE(received.payload.isEmpty());
}

TEST_F(InstanceChannelServing, AMessageWithoutReceiverLooksLikeNoRunningCopy)
{
    EXPECT_EQ(sendWhileServing(name, 999, 0, {}), std::nullopt);
    EXPECT_EQ(received.count, 1);
}

TEST_F(InstanceChannelServing, AnOversizedPayloadIsNeverSent)
{
    UnixInstanceChannel client;
    EXPECT_EQ(client.send(name, 74, 0, QByteArray(int(UnixInstanceChannel::MaxPayload) + 1, 'a'), 2000), std::nullopt);
    EXPECT_EQ(received.count, 0);
}

TEST_F(InstanceChannelServing, JunkFromLocalProcessesIsDroppedAndTheHolderKeepsAnswering)
{
    // Wrong magic, a header announcing a huge payload, random blobs, and peers that hang up early.
    std::vector<QByteArray> junk = {
        QByteArray("GET / HTTP/1.0\r\n\r\n"),
        QByteArray("VPIM") + QByteArray("\x00\x00\x08\x17\x00\x00\x00\x00\xff\xff\xff\xff", 12),
        QByteArray("VPIM\x00\x00", 6),
    };
    QRandomGenerator random(1234);
    for (int i = 0; i < 40; ++i) {
        QByteArray blob(int(random.bounded(1, 600)), '\0');
        for (char& c : blob)
            c = char(random.bounded(256));
        junk.push_back(blob);
    }
    for (const QByteArray& bytes : junk) {
        const int fd = rawConnect(name);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL), ssize_t(bytes.size()));
        ::close(fd);
        QCoreApplication::processEvents(); // let the holder accept, as it would between processes
    }
    testsupport::waitUntil([this] { return server.pendingConnections() == 0; }, 5000);
    EXPECT_EQ(server.pendingConnections(), 0);
    EXPECT_EQ(received.count, 0);
    EXPECT_EQ(sendWhileServing(name, 2135, 0, {}), 2135);
}

TEST_F(InstanceChannelServing, SilentPeersAreCutOffAndCannotCrowdOutARealRequest)
{
    // More idle peers than the holder receives at once; each has sent half a header and waits.
    std::vector<int> idle;
    for (int i = 0; i < UnixInstanceChannel::MaxConnections + 4; ++i) {
        const int fd = rawConnect(name);
        ASSERT_GE(fd, 0);
        ::send(fd, "VPIM", 4, MSG_NOSIGNAL);
        idle.push_back(fd);
        QCoreApplication::processEvents();
    }
    testsupport::waitUntil([this] { return server.pendingConnections() == UnixInstanceChannel::MaxConnections; }, 5000);
    EXPECT_EQ(server.pendingConnections(), UnixInstanceChannel::MaxConnections);

    // Once their time is up they are dropped and a real request waiting behind them gets through.
    EXPECT_EQ(sendWhileServing(name, 2135, 1, {}, 3 * UnixInstanceChannel::RequestDeadlineMs), 2136);
    testsupport::waitUntil([this] { return server.pendingConnections() == 0; },
                           2 * UnixInstanceChannel::RequestDeadlineMs);
    EXPECT_EQ(server.pendingConnections(), 0);
    for (const int fd : idle) {
        char byte;
        // The holder closed each of them: reading gives the end of the stream, not a hang.
        pollfd entry{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&entry, 1, 1000), 1);
        EXPECT_LE(::recv(fd, &byte, 1, MSG_DONTWAIT), 0);
        ::close(fd);
    }
}
