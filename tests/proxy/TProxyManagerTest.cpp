#include "proxy/TProxyManager.h"

#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/RecordingBrowserControl.h"
#include "support/RecordingEngineServices.h"
#include "support/Socks5Servers.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>

using testsupport::waitUntil;

namespace {

class ProxyManager : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The address check of a service that sees someone other than the user behind the proxy.
        origin.setReply(200, "RemoteAddr=203.0.113.5\r\n");
        ASSERT_TRUE(origin.listen(1));
        origin.start();
        manager = std::make_unique<TProxyManager>(browsers, services, TProxyManager::TestUrlForHost(origin.hostPort(0)),
                                                  [this](int range) {
                                                      if (range == 10000)
                                                          return startDelayMs; // none unless a test says so
                                                      rotationRanges << range;
                                                      return rotationPicks.isEmpty() ? 0 : rotationPicks.takeFirst();
                                                  });
    }

    // Loads a list of the given proxies, all of one country unless countries are given.
    void loadList(const QStringList& proxies, const QStringList& countries = {})
    {
        QString text = QStringLiteral("LocalIP=198.51.100.1\r\nProxyCount=%1\r\n").arg(proxies.size());
        for (int i = 0; i < proxies.size(); ++i) {
            const QString country = countries.isEmpty() ? QStringLiteral("Canada") : countries.at(i);
            text += QStringLiteral("Proxy_%1=%2|anon|%3|http://f/%1.png|1|2\r\n").arg(i).arg(proxies.at(i), country);
        }
        manager->ProxyListReceived(text);
    }

    // A running set of proxy stand-ins that answer 200 (or the given status) to everything.
    QStringList answeringProxies(int count, int status = 200)
    {
        auto responder = std::make_unique<testsupport::LoopbackHttpResponder>();
        responder->setReply(status, "198.51.100.9");
        EXPECT_TRUE(responder->listen(count));
        responder->start();
        QStringList list;
        for (int i = 0; i < count; ++i)
            list << responder->hostPort(i);
        responders.push_back(std::move(responder));
        return list;
    }

    testsupport::RecordingEngineServices services;
    testsupport::RecordingBrowserControl browsers;
    testsupport::LoopbackHttpResponder origin;
    std::vector<std::unique_ptr<testsupport::LoopbackHttpResponder>> responders;
    QList<int> rotationPicks;
    QList<int> rotationRanges;
    int startDelayMs = 0;
    std::unique_ptr<TProxyManager> manager;
};

} // namespace

TEST_F(ProxyManager, ASingleWorkingProxyFromTheServiceIsAppliedToEveryBrowserInOrder)
{
    testsupport::TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    const QString dead = testsupport::TinyproxyFixture::deadProxyText();
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start({{dead, "Canada", "-75.7", "45.4"},
                               {proxies.proxyText(0), "Canada", "-75.6", "45.5"},
                               {proxies.proxyText(0), "Japan", "139.7", "35.7"}}))
        << qPrintable(service.errorText());
    QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
    manager->DownloadProxyList(service.url("/getproxy.php"));
    ASSERT_TRUE(loaded.wait(10000));

    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    QSignalSpy progress(manager.get(), &TProxyManager::progress);
    manager->ChooseCountry("Canada");
    manager->StartHide();
    EXPECT_FALSE(manager->Active()); // testing first, nothing applied yet
    ASSERT_EQ(progress.count(), 1);
    EXPECT_EQ(progress.at(0).at(0).toInt(), 2);
    EXPECT_EQ(progress.at(0).at(1).toInt(), 0);
    ASSERT_TRUE(changed.wait(15000));

    const QString applied = proxies.proxyText(0);
    EXPECT_EQ(browsers.calls, QStringList({"IE:" + applied, "Firefox:" + applied, "Opera:" + applied}));
    EXPECT_TRUE(manager->Active());
    EXPECT_EQ(manager->CurrentProxy(), applied);
    // Both records of that address passed, so it is ready twice.
    EXPECT_EQ(manager->ReadyList(), QStringList({applied, applied}));
    // The event carries the last record of that address; both records of it were booked as passed.
    const TProxyRec rec = changed.at(0).at(0).value<TProxyRec>();
    EXPECT_EQ(rec.Country, "Japan");
    EXPECT_EQ(manager->Proxies().at(0).Status, TProxyRec::stFailed);
    EXPECT_EQ(manager->Proxies().at(1).Status, TProxyRec::stPassed);
    EXPECT_EQ(manager->Proxies().at(2).Status, TProxyRec::stPassed);
    EXPECT_EQ(progress.last().at(0).toInt(), 2);
    EXPECT_EQ(progress.last().at(1).toInt(), 2);
    EXPECT_TRUE(services.messages.isEmpty());
}

// Ten thousand hand-overs would hold up the window's thread for longer than a frame: the list reaches the tester
// in slices with turns of the event loop between them, all of it in the end, and Stop Hide between two slices
// hands over nothing more.
TEST_F(ProxyManager, ALongListReachesTheTesterInSlicesThatLetTheEventLoopRun)
{
    constexpr int kCount = 10000;
    QStringList list;
    for (int i = 0; i < kCount; ++i)
        list << QStringLiteral("127.0.%1.%2:9").arg(1 + i / 200).arg(1 + i % 200);
    loadList(list);
    manager->ChooseCountry(kAutoSelected);
    startDelayMs = 9999; // no test reports while the hand-over is watched
    int turns = 0;
    QTimer turn;
    QObject::connect(&turn, &QTimer::timeout, [&] { ++turns; });
    turn.start(0);

    manager->StartHide();
    const int firstSlice = manager->Tester().Total;
    EXPECT_GT(firstSlice, 0);
    EXPECT_LT(firstSlice, kCount);
    EXPECT_TRUE(manager->Testing());
    manager->StopHide();
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(manager->Tester().Total, firstSlice) << "proxies were handed over after Stop Hide";

    QSignalSpy progress(manager.get(), &TProxyManager::progress);
    turns = 0;
    manager->StartHide();
    ASSERT_TRUE(waitUntil([&] { return !progress.isEmpty() && progress.last().at(0).toInt() == kCount; }, 20000));
    EXPECT_EQ(manager->Tester().Total, kCount);
    EXPECT_GT(progress.count(), 1);
    EXPECT_GT(turns, 0) << "the event loop never ran during the hand-over";
    EXPECT_TRUE(manager->Testing());
    EXPECT_FALSE(manager->Active());
    manager->StopHide();
}

// The browsers learn the kind from the text they are given; the check after the apply speaks SOCKS5 as well,
// or it would find the proxy dead at once and move away from it.
TEST_F(ProxyManager, ASocks5ProxyOfTheServiceReachesTheBrowsersAsSocks5AndPassesItsCheck)
{
    testsupport::Socks5Servers socks;
    ASSERT_TRUE(socks.start(testsupport::Socks5Servers::Microsocks)) << qPrintable(socks.errorText());
    const QString applied = QStringLiteral("socks5://") + socks.proxyText(0);
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start({{applied, "Canada", "-75.6", "45.5"}})) << qPrintable(service.errorText());
    QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
    manager->DownloadProxyList(service.url("/getproxy.php"));
    ASSERT_TRUE(loaded.wait(10000));

    manager->SetLeakCheck(true, 600000);
    QSignalSpy verified(manager.get(), &TProxyManager::proxyVerified);
    QSignalSpy checkFailed(manager.get(), &TProxyManager::proxyCheckFailed);
    manager->ChooseCountry("Canada");
    manager->StartHide();
    EXPECT_EQ(manager->Tester().Total, 1);
    ASSERT_TRUE(verified.wait(15000) || !checkFailed.isEmpty());
    EXPECT_TRUE(checkFailed.isEmpty());
    EXPECT_EQ(manager->CurrentProxy(), socks.proxyText(0));
    EXPECT_EQ(browsers.calls, QStringList({"IE:" + applied, "Firefox:" + applied, "Opera:" + applied}));
}

TEST_F(ProxyManager, NoWorkingCandidateNamesTheCountryAndFallsBackToDirect)
{
    const QStringList refusing = answeringProxies(3, 503);
    loadList(refusing + QStringList{testsupport::TinyproxyFixture::deadProxyText()}, {"Peru", "Peru", "Chile", "Peru"});
    QSignalSpy stopped(manager.get(), &TProxyManager::stopped);
    manager->ChooseCountry("Peru");
    manager->StartHide();
    EXPECT_EQ(manager->Tester().Total, 3);
    ASSERT_TRUE(stopped.wait(15000));
    ASSERT_EQ(services.messages.size(), 1);
    EXPECT_EQ(services.messages.at(0).key,
              "IP in Peru is not available now. Please choose other countries or try it later.");
    EXPECT_EQ(services.messages.at(0).msgType, TEngineServices::mtInformation);
    EXPECT_EQ(services.messages.at(0).buttons, TEngineServices::mbOK);
    EXPECT_EQ(services.messages.at(0).showAgainId, 0);
    EXPECT_EQ(browsers.calls, QStringList({"IE:", "Firefox:", "Opera:"}));
    EXPECT_FALSE(manager->Active());
    EXPECT_EQ(manager->Tester().Done, 3);
}

TEST_F(ProxyManager, ACountryWithoutRecordsReportsEmptyProgressAndNothingElse)
{
    loadList(answeringProxies(2), {"Peru", "Chile"});
    QSignalSpy progress(manager.get(), &TProxyManager::progress);
    manager->ChooseCountry("peru"); // countries are matched exactly
    manager->StartHide();
    ASSERT_EQ(progress.count(), 1);
    EXPECT_EQ(progress.at(0).at(0).toInt(), 0);
    EXPECT_EQ(progress.at(0).at(1).toInt(), 0);
    EXPECT_EQ(manager->Tester().ActiveTests(), 0);
    EXPECT_TRUE(browsers.calls.isEmpty());
}

TEST_F(ProxyManager, FortyCandidatesAreDecidedAtThe31stResult)
{
    loadList(answeringProxies(40));
    manager->ChooseCountry(kAutoSelected);
    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    manager->StartHide();
    EXPECT_EQ(manager->Tester().Total, 40);
    ASSERT_TRUE(changed.wait(15000));
    ASSERT_TRUE(waitUntil([&] { return manager->Tester().ActiveTests() == 0; }, 15000));
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(manager->Tester().Done, 31);
    EXPECT_EQ(manager->ReadyList().size(), 31);
    EXPECT_TRUE(manager->Tester().Stopped());
    EXPECT_EQ(manager->CurrentProxy(), manager->ReadyList().first());
    int passed = 0;
    for (const TProxyRec& rec : manager->Proxies())
        passed += rec.Status == TProxyRec::stPassed ? 1 : 0;
    EXPECT_EQ(passed, 31); // results after the decision are dropped
}

class ReadyProxies : public ProxyManager
{
protected:
    void SetUp() override
    {
        ProxyManager::SetUp();
        ready = answeringProxies(3);
        loadList(ready);
        manager->ChooseCountry(kAutoSelected);
        QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
        manager->StartHide();
        ASSERT_TRUE(changed.wait(15000));
        ASSERT_EQ(manager->ReadyList().size(), 3);
        first = manager->ReadyList().at(0);
        ASSERT_EQ(manager->CurrentProxy(), first);
        browsers.calls.clear();
    }

    QStringList ready;
    QString first;
};

TEST_F(ReadyProxies, WithoutAutoChangeChangeIPReappliesTheFirstEntry)
{
    manager->SwitchClearCookiesOnChange(true);
    manager->ChangeIP();
    EXPECT_EQ(browsers.calls, QStringList({"IE:" + first, "Firefox:" + first, "Opera:" + first}));
    EXPECT_TRUE(rotationRanges.isEmpty());
}

TEST_F(ReadyProxies, AutoChangeMovesToARandomOtherProxyClearingCookiesFirst)
{
    manager->SwitchAutoChange(true);
    manager->SwitchClearCookiesOnChange(true);
    rotationPicks = {0, 0, 2}; // entry 0 is the current one: drawn again until another comes up
    manager->ChangeIP();
    const QString third = manager->ReadyList().at(2);
    EXPECT_EQ(browsers.calls,
              QStringList({"ClearIE", "ClearFirefox", "IE:" + third, "Firefox:" + third, "Opera:" + third}));
    EXPECT_EQ(rotationRanges, QList<int>({3, 3, 3}));
    EXPECT_EQ(manager->CurrentProxy(), third);

    // Entry 0 is no longer the current proxy, so it is taken without a draw.
    browsers.calls.clear();
    manager->ChangeIP();
    EXPECT_EQ(browsers.calls.mid(2), QStringList({"IE:" + first, "Firefox:" + first, "Opera:" + first}));
    EXPECT_EQ(rotationRanges.size(), 3);
}

TEST_F(ReadyProxies, ARandomSourceThatKeepsPickingTheCurrentProxyStillEnds)
{
    manager->SwitchAutoChange(true);
    rotationPicks = QList<int>(100000, 0);
    manager->ChangeIP();
    EXPECT_NE(manager->CurrentProxy(), first);
    EXPECT_TRUE(manager->ReadyList().contains(manager->CurrentProxy()));
}

TEST_F(ReadyProxies, AnAutomaticChangeWhileATestRunGoesOnKeepsTheCurrentProxy)
{
    manager->SwitchAutoChange(true);
    manager->SetPassValidityMs(0); // every candidate is tested afresh: the new run has no ready proxy yet
    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    manager->StartHide();
    ASSERT_TRUE(manager->Testing());
    ASSERT_TRUE(manager->ReadyList().isEmpty());
    manager->ChangeIP();
    EXPECT_TRUE(browsers.calls.isEmpty());
    EXPECT_TRUE(manager->Active());
    EXPECT_EQ(manager->CurrentProxy(), first);
    EXPECT_TRUE(services.messages.isEmpty());
    // The run's own selection makes the change once its results are in.
    ASSERT_TRUE(changed.wait(15000));
    EXPECT_TRUE(manager->Active());
    EXPECT_TRUE(services.messages.isEmpty());
}

TEST_F(ReadyProxies, StopHideClearsEveryBrowserButKeepsTheChoiceForRotation)
{
    QSignalSpy stopped(manager.get(), &TProxyManager::stopped);
    manager->StopHide();
    EXPECT_EQ(stopped.count(), 1);
    EXPECT_EQ(browsers.calls, QStringList({"IE:", "Firefox:", "Opera:"}));
    EXPECT_FALSE(manager->Active());
    EXPECT_EQ(manager->CurrentProxy(), first);
    EXPECT_EQ(manager->ReadyList().size(), 3);
    browsers.calls.clear();
    manager->ChangeIP(); // not hiding: nothing happens
    EXPECT_TRUE(browsers.calls.isEmpty());
}

TEST_F(ReadyProxies, ARepeatedStartHideReportsPassedProxiesAtOnceAndSelectsEachTime)
{
    const int requestsBefore = responders.front()->requests();
    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    manager->StartHide();
    // Every candidate passed before, so each hand-over completes the run so far and selects.
    EXPECT_EQ(changed.count(), 3);
    EXPECT_EQ(manager->Tester().Done, 3);
    EXPECT_EQ(manager->ReadyList(), ready);
    EXPECT_EQ(responders.front()->requests(), requestsBefore);
}

TEST_F(ReadyProxies, AFailedOperaWriteReachesTheCallerBeforeTheStateChanges)
{
    manager->StopHide();
    browsers.failOpera = true;
    browsers.calls.clear();
    EXPECT_THROW(manager->ApplyProxy(ready.at(1)), std::runtime_error);
    EXPECT_EQ(manager->CurrentProxy(), ready.at(1));
    EXPECT_FALSE(manager->Active());
    QSignalSpy stopped(manager.get(), &TProxyManager::stopped);
    EXPECT_THROW(manager->StopHide(), std::runtime_error);
    EXPECT_EQ(stopped.count(), 0);
}

TEST_F(ProxyManager, AutoChangeKeepsTheProxyWhenEveryEntryIsTheCurrentOne)
{
    // One proxy listed twice: every entry of the ready list is the proxy in use.
    const QString only = answeringProxies(1).first();
    loadList({only, only});
    manager->ChooseCountry(kAutoSelected);
    manager->StartHide();
    ASSERT_TRUE(waitUntil([&] { return manager->Tester().Done == 2; }, 15000));
    ASSERT_EQ(manager->CurrentProxy(), only);
    ASSERT_GE(manager->ReadyList().size(), 2);
    ASSERT_EQ(manager->ReadyList().count(only), manager->ReadyList().size());
    manager->SwitchAutoChange(true);
    manager->SwitchClearCookiesOnChange(true);
    browsers.calls.clear();
    manager->ChangeIP();
    EXPECT_EQ(browsers.calls, QStringList({"IE:" + only, "Firefox:" + only, "Opera:" + only}));
}

TEST_F(ProxyManager, AutoChangeAppliesASingleReadyProxyThatDiffers)
{
    const QStringList proxies = answeringProxies(2);
    loadList(proxies, {"Peru", "Chile"});
    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    manager->ChooseCountry("Peru");
    manager->StartHide();
    ASSERT_TRUE(changed.wait(15000));
    ASSERT_EQ(manager->CurrentProxy(), proxies.at(0));
    // Hiding again in a country with one working proxy: the run ends with that one ready, not the one in use.
    manager->SwitchAutoChange(true);
    manager->SwitchClearCookiesOnChange(true);
    manager->ChooseCountry("Chile");
    browsers.calls.clear();
    manager->StartHide();
    ASSERT_TRUE(changed.wait(15000));
    EXPECT_EQ(manager->ReadyList(), QStringList{proxies.at(1)});
    EXPECT_EQ(browsers.calls, QStringList({"ClearIE", "ClearFirefox", "IE:" + proxies.at(1), "Firefox:" + proxies.at(1),
                                           "Opera:" + proxies.at(1)}));
}

TEST_F(ProxyManager, StopHideDuringTestingDropsLaterResults)
{
    loadList(answeringProxies(3));
    manager->ChooseCountry(kAutoSelected);
    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    manager->StartHide();
    manager->StopHide();
    ASSERT_TRUE(waitUntil([&] { return manager->Tester().ActiveTests() == 0; }, 15000));
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), 0);
    EXPECT_TRUE(manager->ReadyList().isEmpty());
    EXPECT_EQ(browsers.calls, QStringList({"IE:", "Firefox:", "Opera:"}));
}

TEST_F(ProxyManager, PortsThatAreNotNumbersAreTestedOn80)
{
    manager->ProxyListReceived("ProxyCount=2\nProxy_0=127.0.0.1:http|i|A|f|1|2\nProxy_1=127.0.0.1|i|A|f|1|2\n");
    manager->ChooseCountry(kAutoSelected);
    manager->StartHide();
    // Both become the key 127.0.0.1:80: one test, whose result answers both hand-overs.
    EXPECT_EQ(manager->Tester().Pending(), QStringList({"127.0.0.1:80"}));
    EXPECT_EQ(manager->Tester().Done, 0);
    ASSERT_TRUE(waitUntil([&] { return manager->Tester().Done == 2; }, 15000));
    EXPECT_EQ(manager->Tester().Total, 2);
    manager->StopHide();
}
