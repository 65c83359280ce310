// Veilport's own tor against a real Tor network of its own on loopback: bootstrap, a site seeing the exit
// instead of the user, and a new identity giving new circuits. Everything runs inside this process's
// private network, so no tor of it can reach beyond the machine.
#include "tor/TorController.h"

#include "support/CurlRun.h"
#include "support/HttpbinJudge.h"
#include "support/PrivateNetwork.h"
#include "support/PrivateTorClient.h"
#include "support/PrivateTorNetwork.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::PrivateNetwork;
using testsupport::PrivateTorNetwork;
using testsupport::waitUntil;

namespace {

const bool g_privateNetwork = PrivateNetwork::enter();

// The address a fetch of the judge's /ip came from, through the SOCKS5 proxy socks (host names resolved by
// it) or directly; empty, with the failure recorded, when the fetch failed.
QString seenAddress(const testsupport::HttpbinJudge& judge, const QString& socks = {})
{
    QStringList args;
    if (!socks.isEmpty())
        args << QStringLiteral("-x") << QStringLiteral("socks5h://") + socks;
    const testsupport::CurlRun run = testsupport::curl(args << judge.url(QStringLiteral("/ip")), 30);
    const QByteArray body = run.out.mid(run.out.indexOf("\r\n\r\n") + 4);
    const QString origin = QJsonDocument::fromJson(body).object().value(QStringLiteral("origin")).toString();
    EXPECT_FALSE(origin.isEmpty()) << testsupport::describe(run);
    return origin;
}

TEST(TorControllerNetworkTest, SitesSeeAnExitAndANewIdentityBuildsNewCircuits)
{
    if (!g_privateNetwork)
        GTEST_SKIP() << "no private network: " << PrivateNetwork::error().toStdString();
    testsupport::TempDir dir;
    PrivateTorNetwork network;
    ASSERT_TRUE(network.start(dir.file(QStringLiteral("network")))) << network.errorText().toStdString();
    testsupport::HttpbinJudge judge;
    ASSERT_TRUE(judge.start(PrivateTorNetwork::serverAddress())) << judge.errorText().toStdString();
    const QString direct = seenAddress(judge);
    QStringList exits;
    for (const QHostAddress& address : network.exitAddresses())
        exits << address.toString();
    ASSERT_FALSE(exits.contains(direct));

    TorOptions options = testsupport::privateTorClient(network, dir.file(QStringLiteral("client")));
    TorController tor(options);
    QSignalSpy ready(&tor, &TorController::ready);
    QSignalSpy failed(&tor, &TorController::failed);
    tor.start();
    ASSERT_TRUE(waitUntil([&] { return !ready.isEmpty() || !failed.isEmpty(); }, options.bootstrapTimeoutMs, 20));
    ASSERT_TRUE(failed.isEmpty()) << failed.value(0).value(0).toString().toStdString();
    const QString socks = QStringLiteral("127.0.0.1:%1").arg(tor.socksPort());

    const QString first = seenAddress(judge, socks);
    EXPECT_TRUE(exits.contains(first)) << first.toStdString() << " is not an exit of the network";

    // Two exits: each new identity picks one of them afresh, so a different one comes within a few tries
    // (all of them the same would be one chance in 2^8). tor takes one new identity each 10 seconds.
    QSignalSpy changed(&tor, &TorController::identityChanged);
    QString next = first;
    for (int attempt = 0; attempt < 8 && next == first; ++attempt) {
        const qsizetype before = changed.size();
        ASSERT_TRUE(tor.newIdentity());
        ASSERT_TRUE(waitUntil([&] { return changed.size() > before || !failed.isEmpty(); }, 20000, 20));
        ASSERT_TRUE(failed.isEmpty()) << failed.value(0).value(0).toString().toStdString();
        next = seenAddress(judge, socks);
        ASSERT_TRUE(exits.contains(next)) << next.toStdString() << " is not an exit of the network";
    }
    EXPECT_NE(next, first) << "eight new identities all left through the same exit";
}

} // namespace
