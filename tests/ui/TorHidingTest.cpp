// Hiding through Tor with the engine and the main window built as the program builds them: a stand-in for tor
// whose SOCKS port is a real microsocks and whose check page is a local one in the Tor check's shape, the
// desktop's proxy settings read back from their keyfile. Everything stays on loopback.
#include "MainWindowFixture.h"

#include "i18n/MessageTexts.h"
#include "support/ScriptedExitRoute.h"
#include "support/ScriptedHttpServer.h"
#include "support/Socks5Servers.h"
#include "support/Wait.h"
#include "ui/TfrmChooseIP.h"
#include "util/SPTools.h"

#include <QAction>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QSignalSpy>

namespace {

using testsupport::ScriptedHttpServer;
using testsupport::waitUntil;

constexpr int kTimeoutMs = 20000;

class TorHiding : public MainWindowFixture
{
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        if (!gnome.isAvailable())
            GTEST_SKIP() << "no GSettings proxy schema";
        ASSERT_TRUE(socks.start(testsupport::Socks5Servers::Microsocks)) << qPrintable(socks.errorText());
        exitSeenAs("198.51.100.7");
        openSettings();
        Settings()->WriteBool(QStringLiteral("UseTor"), true);
        auto stand = std::make_unique<testsupport::ScriptedExitRoute>(checkPage.url(QStringLiteral("/api/ip")),
                                                                      quint16(socks.port(0)));
        route = stand.get();
        exitRoute = std::move(stand);
        start();
    }

    // A list from the service, which tells the user's own address; it has no proxy, as none is needed.
    void loadList()
    {
        manager().TakeProxyList(ProxyListLines::fromText(listText({}, QStringLiteral("192.0.2.1"))));
        ASSERT_TRUE(ui->acVuvaVI->isEnabled());
    }

    void exitSeenAs(const QByteArray& address)
    {
        checkPage.setDefaultReply(ScriptedHttpServer::Reply::http(200, "{\"IsTor\":true,\"IP\":\"" + address + "\"}"));
    }

    QString torPort() const { return QStringLiteral("socks5 127.0.0.1:%1").arg(socks.port(0)); }

    // Hides through the stand-in until sites are seen to come from its exit.
    ::testing::AssertionResult hideThroughTor()
    {
        ui->acVuvaVI->trigger();
        route->finishBootstrap();
        if (!desktopBecomes(torPort()))
            return ::testing::AssertionFailure() << "the desktop is on " << desktop().toStdString();
        if (!waitUntil([&] { return ui->lbIP->text() == QLatin1String("198.51.100.7"); }, kTimeoutMs))
            return ::testing::AssertionFailure() << "the window shows " << ui->lbIP->text().toStdString();
        return ::testing::AssertionSuccess();
    }

    testsupport::Socks5Servers socks;
    ScriptedHttpServer checkPage;
    testsupport::ScriptedExitRoute* route = nullptr;
};

} // namespace

TEST_F(TorHiding, HideAppliesTorsPortOnlyOnceConnectedAndShowsTheExitsAddressAndCountry)
{
    loadList();
    manager().ChooseCountry(QStringLiteral("United States"));
    route->countryCode = QStringLiteral("us");
    QSignalSpy verified(&manager(), &TProxyManager::proxyVerified);

    QString shownWhenApplied = QStringLiteral("(not applied)");
    QObject::connect(&manager(), &TProxyManager::proxyChanged, form.get(),
                     [&] { shownWhenApplied = ui->lbIP->text(); });
    ui->acVuvaVI->trigger();
    EXPECT_EQ(route->starts, 1);
    route->connectUpTo(45);
    EXPECT_EQ(ui->lblProgressText->text(), FormatArgs(text(MessageText::kConnectingTor), {QStringLiteral("45")}));
    EXPECT_TRUE(ui->lblProgressText->isVisibleTo(form.get()));
    EXPECT_EQ(form->HideAction(), ui->acStopHide);
    // The exits are restricted to the chosen country as soon as tor takes commands.
    ASSERT_TRUE(waitUntil([&] { return !route->exitCountryCalls.isEmpty(); }));
    EXPECT_EQ(route->exitCountryCalls, QStringList{QStringLiteral("US")});
    // Not connected yet: nothing may have been written, whatever the writer's thread has done meanwhile.
    EXPECT_FALSE(waitUntil([&] { return desktop().startsWith(QLatin1String("socks5")); }, 1000));

    route->finishBootstrap();
    ASSERT_TRUE(desktopBecomes(torPort())) << desktop().toStdString();
    EXPECT_FALSE(ui->lblProgressText->isVisibleTo(form.get()));
    // Tor's own port on this machine is never what sites see, not even before the first check.
    EXPECT_EQ(shownWhenApplied, QString());
    // What sites see is the exit's address, with the country tor gives it, once the check through the port passed.
    ASSERT_TRUE(waitUntil([&] { return ui->lbIP->text() == QLatin1String("198.51.100.7"); }, kTimeoutMs))
        << ui->lbIP->text().toStdString();
    EXPECT_GE(checkPage.requestCount(), 1);
    ASSERT_FALSE(verified.isEmpty());
    EXPECT_EQ(verified.last().at(0).value<TProxyRec>().Country, QStringLiteral("United States"));
    EXPECT_TRUE(ui->imgFlag->isVisibleTo(form.get()));
    EXPECT_EQ(ui->lbHidingInfo->text(), FormatArgs(text(MessageText::kHiding), {QStringLiteral("192.0.2.1")}));
    // The country picker now marks the countries tor leaves from, also those the list has no proxy in.
    TfrmChooseIP picker(manager(), settingsFolder(), QStringLiteral("127.0.0.1:1"), QStringLiteral("127.0.0.1:1"));
    const int exitCountry = picker.cbbCountry->findText(QStringLiteral("United States"));
    ASSERT_GT(exitCountry, 0);
    EXPECT_TRUE(picker.cbbCountry->itemData(exitCountry, Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(picker.cbbCountry->itemData(0, Qt::FontRole).value<QFont>().bold());

    ui->acStopHide->trigger();
    EXPECT_TRUE(desktopBecomes(QStringLiteral("'none'"))) << desktop().toStdString();
    EXPECT_FALSE(route->running);
    EXPECT_EQ(form->HideAction(), ui->acVuvaVI);
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("192.0.2.1"));
}

TEST_F(TorHiding, ATorFailureSendsTheDesktopBackToDirectAndAMissingTorTurnsTheOptionOff)
{
    loadList();
    ASSERT_TRUE(hideThroughTor());
    messages.queueAnswer(TEngineServices::mrOk);
    route->failWith(QStringLiteral("Tor ended unexpectedly"));
    EXPECT_TRUE(desktopBecomes(QStringLiteral("'none'"))) << desktop().toStdString();
    QList<testsupport::RecordingMessageBoxes::Record> shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.at(0).text, QStringLiteral("Tor ended unexpectedly"));
    EXPECT_FALSE(manager().Active());
    EXPECT_EQ(form->HideAction(), ui->acVuvaVI);
    EXPECT_EQ(ui->lbHidingInfo->text(), text(MessageText::kNotHiding));
    EXPECT_TRUE(Settings()->ReadBool(QStringLiteral("UseTor"), false));

    // Without tor on the machine the user learns why, and the next Hide uses the list again.
    route->isInstalled = false;
    messages.queueAnswer(TEngineServices::mrOk);
    ui->acVuvaVI->trigger();
    ASSERT_TRUE(waitUntil([&] { return form->HideAction() == ui->acVuvaVI; }));
    shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.at(0).text, QStringLiteral("Tor is not installed"));
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("UseTor"), true));
    EXPECT_FALSE(manager().ExitRouteOn());
    EXPECT_EQ(desktop(), QStringLiteral("'none'"));
}

// On the user's own internet the list service may be out of reach; Tor needs none of its proxies.
TEST_F(TorHiding, WithNoListServiceInReachHideIsOfferedAndHidesThroughTor)
{
    form->show(); // no stored list, and the service's port refuses
    ASSERT_TRUE(ui->acVuvaVI->isEnabled());
    EXPECT_EQ(ui->lbIP->text(), QString());
    ASSERT_TRUE(hideThroughTor());
    ui->acStopHide->trigger();
    EXPECT_TRUE(desktopBecomes(QStringLiteral("'none'"))) << desktop().toStdString();
    EXPECT_FALSE(route->running);
}
