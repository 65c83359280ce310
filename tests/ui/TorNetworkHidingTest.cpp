// Hiding through Tor as the user meets it, on real Tor circuits: the engine and the main window as the program
// builds them drive Veilport's own tor, which bootstraps against a Tor network of its own on loopback (three
// authorities, a middle, two exits). The leak check asks httpbin through tor; the desktop's proxy is read back
// from its keyfile. Everything runs inside this process's private network, so nothing reaches beyond the machine.
#include "MainWindowFixture.h"

#include "support/CurlRun.h"
#include "support/HttpbinJudge.h"
#include "support/PrivateNetwork.h"
#include "support/PrivateTorClient.h"
#include "support/PrivateTorNetwork.h"
#include "support/Wait.h"
#include "tor/TorController.h"
#include "tor/TorRoute.h"

#include <QAction>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>

#include <signal.h>

namespace {

using testsupport::PrivateNetwork;
using testsupport::PrivateTorNetwork;
using testsupport::waitUntil;

// Entered before Qt starts any thread, so that every thread and child (tor among them) lives inside.
const bool g_privateNetwork = PrivateNetwork::enter();

// tor may take its time on two busy cores; the bootstrap limit of the program is two minutes.
constexpr int kTorMs = 120000;

class TorNetworkHiding : public MainWindowFixture
{
protected:
    void SetUp() override
    {
        if (!g_privateNetwork)
            GTEST_SKIP() << "needs a private network: " << PrivateNetwork::error().toStdString();
        if (TorOptions::findProgram().isEmpty())
            GTEST_SKIP() << "tor is not installed (run scripts/setup)";
        MainWindowFixture::SetUp();
        if (!gnome.isAvailable())
            GTEST_SKIP() << "no GSettings proxy schema";
        ASSERT_TRUE(network.start(root.file(QStringLiteral("network")))) << network.errorText().toStdString();
        ASSERT_TRUE(judge.start(PrivateTorNetwork::serverAddress())) << judge.errorText().toStdString();
        for (const QHostAddress& address : network.exitAddresses())
            exits << address.toString();
    }

    // The address under which the judge sees this machine when asked directly: the user's own.
    QString ownAddress() const
    {
        const testsupport::CurlRun run = testsupport::curl({judge.url(QStringLiteral("/ip"))}, 30);
        const QByteArray body = run.out.mid(run.out.indexOf("\r\n\r\n") + 4);
        return QJsonDocument::fromJson(body).object().value(QStringLiteral("origin")).toString();
    }

    PrivateTorNetwork network;
    testsupport::HttpbinJudge judge;
    QStringList exits;
};

} // namespace

TEST_F(TorNetworkHiding, HideRotateAndStopThroughRealTorCircuits)
{
    const QString own = ownAddress();
    ASSERT_FALSE(own.isEmpty());
    ASSERT_FALSE(exits.contains(own));

    openSettings();
    Settings()->WriteBool(QStringLiteral("UseTor"), true);
    TorOptions options = testsupport::privateTorClient(network, root.file(QStringLiteral("cache/tor")));
    options.bootstrapTimeoutMs = kTorMs;
    options.checkUrl = judge.url(QStringLiteral("/get?show_env=1"));
    auto torRoute = std::make_unique<TorRoute>(options);
    TorRoute* route = torRoute.get();
    exitRoute = std::move(torRoute);
    start();
    // The list tells the user's own address, so that a check that sees it fails.
    manager().TakeProxyList(ProxyListLines::fromText(listText({}, own)));
    ASSERT_TRUE(ui->acVuvaVI->isEnabled());

    ui->acVuvaVI->trigger();
    ASSERT_TRUE(waitUntil([&] { return desktop().startsWith(QLatin1String("socks5")); }, kTorMs, 20))
        << desktop().toStdString();
    const quint16 port = route->controller().socksPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(desktop(), QStringLiteral("socks5 127.0.0.1:%1").arg(port));
    const qint64 torPid = route->controller().processId();
    ASSERT_GT(torPid, 0);
    // The leak check through tor saw one of the network's exits, never the user.
    ASSERT_TRUE(waitUntil([&] { return exits.contains(ui->lbIP->text()); }, 60000, 20))
        << ui->lbIP->text().toStdString();
    const QString first = ui->lbIP->text();

    // The automatic change asks tor for new identities until sites see another exit (tor grants one every ten
    // seconds; with two exits each new circuit has an even chance of the other one).
    manager().SetChangeInterval(3);
    form->tmChangeIPTimer();
    EXPECT_TRUE(waitUntil([&] { return exits.contains(ui->lbIP->text()) && ui->lbIP->text() != first; }, 150000, 50))
        << "sites still see " << ui->lbIP->text().toStdString();
    EXPECT_EQ(desktop(), QStringLiteral("socks5 127.0.0.1:%1").arg(port));

    // Stop Hide: the desktop goes direct and Veilport's tor ends.
    ui->acStopHide->trigger();
    EXPECT_TRUE(waitUntil([&] { return desktop() == QLatin1String("'none'"); }, 20000)) << desktop().toStdString();
    EXPECT_TRUE(waitUntil([&] { return ::kill(pid_t(torPid), 0) != 0; }, 20000)) << "tor is still running";
    EXPECT_EQ(ui->lbIP->text(), own);
}
