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

class HonestHiding : public ::testing::Test
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
        ASSERT_TRUE(service.start(pool)) << qPrintable(service.errorText());

        manager = std::make_unique<TProxyManager>(browsers, services, TProxyManager::TestUrlForHost(service.host()),
                                                  [](int) { return 0; });
        manager->SetTunnelUrl(service.tlsUrl(QStringLiteral("/getip.php?VER=2")));
        manager->SetTestTimeoutMs(5000);
        manager->SetLeakCheck(true, 300);
        QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
        manager->DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
        ASSERT_TRUE(loaded.wait(10000));
        ASSERT_EQ(manager->LocalIP, QStringLiteral("127.0.0.1"));
        manager->Country = kCountry;
    }

    TProxyRec record(int i) const
    {
        TProxyRec rec;
        manager->FindProxy(proxies.proxyText(i), rec);
        return rec;
    }

    testsupport::BrowserTestHome home;
    testsupport::RecordingEngineServices services;
    testsupport::RecordingBrowserControl browsers;
    TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    std::unique_ptr<TProxyManager> manager;
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
    EXPECT_EQ(QSet<QString>(manager->ReadyList.cbegin(), manager->ReadyList.cend()),
              QSet<QString>({proxies.proxyText(2), proxies.proxyText(3)}));

    // The address shown is the one the service saw through the applied proxy.
    const int applied = manager->CurrentProxy == proxies.proxyText(2) ? 2 : 3;
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
    const QString first = manager->CurrentProxy;
    const int firstIndex = proxies.proxyTexts().indexOf(first);
    ASSERT_GE(firstIndex, 2);
    const int otherIndex = firstIndex == 2 ? 3 : 2;

    // Two failed checks in a row move to the other ready proxy, which is checked in turn.
    proxies.stop(firstIndex);
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->CurrentProxy == proxies.proxyText(otherIndex); }, 10000));
    EXPECT_EQ(browsers.calls.filter(QStringLiteral("IE:")).last(),
              QStringLiteral("IE:") + proxies.proxyText(otherIndex));
    EXPECT_EQ(record(firstIndex).Status, TProxyRec::stFailed);
    EXPECT_TRUE(stopped.isEmpty());

    // With no ready proxy left, hiding ends as when nothing worked: the message, then a direct connection.
    proxies.stop(otherIndex);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stopped.isEmpty(); }, 10000));
    EXPECT_FALSE(manager->Active);
    EXPECT_EQ(browsers.calls.last(), QStringLiteral("Opera:"));
    ASSERT_EQ(services.messages.size(), 1);
    EXPECT_EQ(services.messages.first().key,
              QStringLiteral("IP in Canada is not available now. Please choose other countries or try it later."));
}
