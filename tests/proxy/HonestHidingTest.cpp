// Hiding that can be trusted, against the real list service (its address check over plain HTTP and
// TLS) and real tinyproxy instances that each leave from an address of their own: a proxy that shows
// the user's address, or cannot tunnel secure pages, never passes; the applied proxy is checked, and
// when it dies another ready one takes its place until none is left.
#include "proxy/TProxyManager.h"

#include "support/BrowserTestHome.h"
#include "support/RecordingEngineServices.h"
#include "support/ListServiceFixture.h"
#include "support/RecordingBrowserControl.h"
#include "support/TinyproxyFixture.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using testsupport::TinyproxyFixture;

namespace {

const QString kCountry = QStringLiteral("Canada");

// The manager over the real list service and its running proxies, each applied proxy checked every 300 ms.
class ServiceHiding : public ::testing::Test
{
protected:
    // Starts the service with the given pool and loads its list; the proxies' tests start after startDelayMs.
    void loadList(const QList<testsupport::ListServiceEntry>& pool)
    {
        ASSERT_TRUE(service.start(pool)) << qPrintable(service.errorText());
        manager = std::make_unique<TProxyManager>(browsers, services, TProxyManager::TestUrlForHost(service.host()),
                                                  [this](int range) { return range == 10000 ? startDelayMs : 0; });
        manager->SetTestTimeoutMs(5000);
        manager->SetLeakCheck(true, 300);
        QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
        manager->DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
        ASSERT_TRUE(loaded.wait(10000));
    }

    testsupport::BrowserTestHome home;
    testsupport::RecordingEngineServices services;
    testsupport::RecordingBrowserControl browsers;
    TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    std::unique_ptr<TProxyManager> manager;
    int startDelayMs = 0;
};

class HonestHiding : public ServiceHiding
{
protected:
    void SetUp() override
    {
        // One proxy of each kind: it sends the user's address on, it refuses CONNECT, it hides and tells no
        // one (elite), it hides but announces itself (anonymous).
        const QList<QStringList> configs = {{QStringLiteral("AddHeader \"X-Forwarded-For\" \"127.0.0.1\"")},
                                            {QStringLiteral("ConnectPort 1")},
                                            {},
                                            {QStringLiteral("DisableViaHeader No")}};
        for (const QStringList& config : configs) {
            proxies.setExtraConfig(config);
            ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
        }
        QList<testsupport::ListServiceEntry> pool;
        for (const QString& proxy : proxies.proxyTexts())
            pool.append({proxy, kCountry, QStringLiteral("-75.7"), QStringLiteral("45.4")});
        loadList(pool);
        manager->SetTunnelUrl(service.tlsUrl(QStringLiteral("/getip.php?VER=2")));
        ASSERT_EQ(manager->LocalIP(), QStringLiteral("127.0.0.1"));
        manager->ChooseCountry(kCountry);
    }

    TProxyRec record(int i) const
    {
        TProxyRec rec;
        manager->FindProxy(proxies.proxyText(i), rec);
        return rec;
    }
};

} // namespace

TEST_F(HonestHiding, OnlyProxiesThatHideTheUserAndTunnelPassAndWhatTheSitesSeeIsShown)
{
    QSignalSpy verified(manager.get(), &TProxyManager::proxyVerified);
    manager->StartHide();
    ASSERT_TRUE(verified.wait(20000));
    EXPECT_EQ(manager->Tester().Done, 4);

    EXPECT_EQ(record(0).Status, TProxyRec::stFailed) << "it told the service the user's address";
    EXPECT_EQ(record(1).Status, TProxyRec::stFailed) << "it cannot carry secure pages";
    EXPECT_EQ(record(2).Status, TProxyRec::stPassed);
    EXPECT_EQ(record(2).Anonymity, QStringLiteral("elite"));
    EXPECT_EQ(record(3).Status, TProxyRec::stPassed);
    EXPECT_EQ(record(3).Anonymity, QStringLiteral("anonymous"));
    EXPECT_EQ(QSet<QString>(manager->ReadyList().cbegin(), manager->ReadyList().cend()),
              QSet<QString>({proxies.proxyText(2), proxies.proxyText(3)}));

    // The address shown is the one the service saw through the applied proxy.
    const int applied = manager->CurrentProxy() == proxies.proxyText(2) ? 2 : 3;
    EXPECT_EQ(verified.first().at(1).toString(), TinyproxyFixture::outgoingAddress(applied));
    EXPECT_TRUE(proxies.log(applied).contains("CONNECT 127.0.0.1:" + QByteArray::number(service.tlsPort())));
    EXPECT_TRUE(services.messages.isEmpty());
}

TEST_F(HonestHiding, ADeadAppliedProxyIsReplacedAndHidingEndsWhenNoneIsLeft)
{
    QSignalSpy verified(manager.get(), &TProxyManager::proxyVerified);
    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    QSignalSpy stopped(manager.get(), &TProxyManager::stopped);
    manager->StartHide();
    ASSERT_TRUE(verified.wait(20000));
    const QString first = manager->CurrentProxy();
    const int firstIndex = proxies.proxyTexts().indexOf(first);
    ASSERT_GE(firstIndex, 2);
    const int otherIndex = firstIndex == 2 ? 3 : 2;

    // Two failed checks in a row move to the other ready proxy, which is checked in turn.
    proxies.stop(firstIndex);
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->CurrentProxy() == proxies.proxyText(otherIndex); }, 10000));
    EXPECT_EQ(browsers.calls.filter(QStringLiteral("IE:")).last(),
              QStringLiteral("IE:") + proxies.proxyText(otherIndex));
    EXPECT_EQ(record(firstIndex).Status, TProxyRec::stFailed);
    EXPECT_TRUE(stopped.isEmpty());

    // With no ready proxy left, hiding ends as when nothing worked: the message, then a direct connection.
    proxies.stop(otherIndex);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stopped.isEmpty(); }, 10000));
    EXPECT_FALSE(manager->Active());
    EXPECT_EQ(browsers.calls.last(), QStringLiteral("Opera:"));
    ASSERT_EQ(services.messages.size(), 1);
    EXPECT_EQ(services.messages.first().key,
              QStringLiteral("IP in Canada is not available now. Please choose other countries or try it later."));
}

namespace {

// Two plain proxies of different countries; the tests choose the start delay of the proxy tests, so that a test
// run can be kept going while a check fails.
class CheckedHiding : public ServiceHiding
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(proxies.start(2)) << qPrintable(proxies.errorText());
        loadList({{proxies.proxyText(0), kCountry, QStringLiteral("-75.7"), QStringLiteral("45.4")},
                  {proxies.proxyText(1), QStringLiteral("Japan"), QStringLiteral("139.7"), QStringLiteral("35.7")}});
    }

    bool passTrusted(int i)
    {
        ProxyJudgement verdict;
        return manager->Tester().PassVerdict(QStringLiteral("127.0.0.1"), proxies.port(i), verdict);
    }
};

} // namespace

TEST_F(CheckedHiding, AProxyThatFailsItsFirstCheckDuringATestRunIsDroppedAtOnceAndNeverChosenAgain)
{
    QSignalSpy verified(manager.get(), &TProxyManager::proxyVerified);
    manager->ChooseCountry(kCountry);
    manager->StartHide();
    ASSERT_TRUE(verified.wait(20000));
    const QString dead = proxies.proxyText(0);
    const QString other = proxies.proxyText(1);
    ASSERT_EQ(manager->CurrentProxy(), dead);

    // The proxy dies while its pass is still trusted. Hiding again for every country applies it at once, as
    // the run's first candidate, while the other one waits for its test; the check right after the apply fails.
    proxies.stop(0);
    browsers.calls.clear();
    int failures = 0;
    bool droppedWhileTesting = false;
    QObject::connect(
        manager.get(), &TProxyManager::proxyCheckFailed, manager.get(),
        [&](const QString& proxy) {
            // The first failure comes right after the apply, long before the other proxy's test ends.
            if (++failures == 1)
                droppedWhileTesting = proxy == dead && manager->Testing() && !manager->ReadyList().contains(dead) &&
                                      !passTrusted(0) && manager->Proxies().at(0).Status == TProxyRec::stFailed;
        },
        Qt::QueuedConnection); // looks once the failure has been booked
    startDelayMs = 2000;
    manager->ChooseCountry(kAutoSelected);
    manager->StartHide();
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->CurrentProxy() == other && !manager->Testing(); }, 20000));
    ASSERT_GE(failures, 1);
    EXPECT_TRUE(droppedWhileTesting);

    // The run ended on the other proxy without taking the dead one again.
    EXPECT_EQ(browsers.appliedProxies(), QStringList({dead, other}));
    EXPECT_EQ(manager->ReadyList(), QStringList{other});
    EXPECT_TRUE(manager->Active());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !verified.isEmpty() && verified.last().at(0).value<TProxyRec>().Proxy == other; }, 10000));
    EXPECT_TRUE(services.messages.isEmpty());
}

TEST_F(CheckedHiding, AnOperaFileThatCannotBeWrittenDuringAFailoverIsShown)
{
    QSignalSpy verified(manager.get(), &TProxyManager::proxyVerified);
    manager->ChooseCountry(kAutoSelected);
    manager->StartHide();
    ASSERT_TRUE(verified.wait(20000));
    ASSERT_EQ(manager->ReadyList().size(), 2);
    const int dead = proxies.proxyTexts().indexOf(manager->CurrentProxy());
    const QString other = proxies.proxyText(1 - dead);

    browsers.failOpera = true;
    browsers.calls.clear();
    proxies.stop(dead);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !services.messages.isEmpty(); }, 10000));
    // Shown as an automatic change shows it: the error's own text in an error box.
    ASSERT_EQ(services.messages.size(), 1);
    EXPECT_EQ(services.messages.first().key, QStringLiteral("Unable to write to opera6.ini"));
    EXPECT_EQ(services.messages.first().msgType, TEngineServices::mtError);
    EXPECT_EQ(services.messages.first().buttons, TEngineServices::mbOK);
    EXPECT_EQ(browsers.calls, QStringList({"IE:" + other, "Firefox:" + other, "Opera:" + other}));
    EXPECT_EQ(manager->CurrentProxy(), other);
}
