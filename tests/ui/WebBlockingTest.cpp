// Blocking the web rather than exposing the user when the last working proxy dies: the engine and the main
// window built as the program builds them, a real tinyproxy listed by the real list service, the desktop's
// proxy settings read back from their keyfile, and curl sent through whatever the desktop names, towards a
// local site that logs every visit. Everything stays on loopback.
#include "MainWindowFixture.h"

#include "config/BlockingOptions.h"
#include "i18n/MessageTexts.h"
#include "support/CurlRun.h"
#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"
#include "ui/EndpointWebBlocker.h"
#include "util/SPTools.h"

#include <QAction>
#include <QFile>
#include <QLabel>

namespace {

using testsupport::curl;
using testsupport::describe;
using testsupport::waitUntil;

constexpr int kHideTimeoutMs = 40000;
constexpr int kBlockTimeoutMs = 20000;

class WebBlocking : public MainWindowFixture
{
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        if (!gnome.isAvailable())
            GTEST_SKIP() << "no GSettings proxy schema";
        ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
        ASSERT_TRUE(service.start({entry(0)})) << qPrintable(service.errorText());
        ASSERT_TRUE(site.listen(1));
        site.setReply(200, "the site itself");
        site.recordVisits();
        site.start();
        // Checks and the search every second; no tunnel address, so plain HTTP decides.
        writeConstants(service.host().toUtf8(), "Proxy.CheckInterval=1\nProxy.RetryInterval=1\n");
        openSettings();
        BlockingOptions::writeBlockWhenNoProxy(*Settings(), true);
        start();
    }

    testsupport::ListServiceEntry entry(int proxy) const
    {
        return {proxies.proxyText(proxy), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")};
    }

    const BlockingEndpoint& endpoint() const { return engine->WebBlocker()->Endpoint(); }

    // Waits until the last proxy has died and the web is blocked.
    ::testing::AssertionResult blocksWhenTheLastProxyDies(int proxy)
    {
        proxies.stop(proxy);
        if (!waitUntil([&] { return endpoint().isRunning() && desktop() == endpoint().proxyAddress(); },
                       kBlockTimeoutMs))
            return ::testing::AssertionFailure() << "the desktop is on " << desktop().toStdString()
                                                 << ", the blocker serves " << endpoint().proxyAddress().toStdString();
        return ::testing::AssertionSuccess();
    }

    testsupport::TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    testsupport::LoopbackHttpResponder site;
};

} // namespace

TEST_F(WebBlocking, WhenTheLastProxyDiesTheWebIsBlockedUntilAProxyPassesAgain)
{
    manager().DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
    ASSERT_TRUE(waitUntil([&] { return ui->acVuvaVI->isEnabled(); }, 10000));
    ui->acVuvaVI->trigger();
    ASSERT_TRUE(desktopBecomes(proxies.proxyText(0), kHideTimeoutMs)) << desktop().toStdString();

    // Any message would be answered, not shown, and recorded; none may come.
    for (int i = 0; i < 3; ++i)
        messages.queueAnswer(TEngineServices::mrOk);
    ASSERT_TRUE(blocksWhenTheLastProxyDies(0));
    const QString blocker = endpoint().proxyAddress();
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_EQ(ui->lbIP->text(), text(MessageText::kWebBlockedTitle));
    EXPECT_EQ(ui->lbHidingInfo->text(), text(MessageText::kStillLooking));
    EXPECT_EQ(form->HideAction(), ui->acStopHide);
    EXPECT_FALSE(ui->imgFlag->isVisibleTo(form.get()));
    EXPECT_TRUE(manager().Active());
    // A crash now must not leave the desktop on a dead port for good: the log-in guard knows the blocker.
    QFile guard(Settings()->UserFolder() + QStringLiteral("DesktopGuard.dat"));
    ASSERT_TRUE(guard.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(guard.readAll()).trimmed(), blocker);

    // Through the desktop's proxy a plain page is the blocking page and a secure one fails; the site never hears
    // of either.
    const QString page = site.hostPort(0);
    const testsupport::CurlRun plain = curl({QStringLiteral("-x"), blocker, QStringLiteral("http://%1/").arg(page)});
    EXPECT_EQ(plain.exitCode, 0) << describe(plain);
    EXPECT_TRUE(plain.out.startsWith("HTTP/1.1 503 ")) << describe(plain);
    EXPECT_TRUE(plain.out.contains(text(MessageText::kWebBlockedTitle).toUtf8())) << describe(plain);
    const testsupport::CurlRun secure = curl({QStringLiteral("-x"), blocker, QStringLiteral("https://%1/").arg(page)});
    EXPECT_NE(secure.exitCode, 0) << describe(secure);
    EXPECT_TRUE(site.visits().isEmpty());

    // A proxy comes back in a fresh list: it is found and applied by itself, and the blocker goes.
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    service.setPool({entry(1)});
    ASSERT_TRUE(desktopBecomes(proxies.proxyText(1))) << desktop().toStdString();
    EXPECT_EQ(manager().CurrentProxy(), proxies.proxyText(1));
    EXPECT_FALSE(manager().Blocked());
    EXPECT_FALSE(endpoint().isRunning());
    EXPECT_EQ(ui->lbHidingInfo->text(), FormatArgs(text(MessageText::kHiding), {manager().LocalIP()}));
    EXPECT_TRUE(messages.takeRecords().isEmpty());

    // Blocked again, only Stop Hide returns the desktop to direct; the blocker stops, and no later search applies
    // a proxy behind the user's back.
    messages.queueAnswer(TEngineServices::mrOk);
    ASSERT_TRUE(blocksWhenTheLastProxyDies(1));
    const QString second = endpoint().proxyAddress();
    ui->acStopHide->trigger();
    EXPECT_TRUE(desktopBecomes(QStringLiteral("'none'"))) << desktop().toStdString();
    EXPECT_FALSE(endpoint().isRunning());
    EXPECT_FALSE(manager().Active());
    EXPECT_EQ(form->HideAction(), ui->acVuvaVI);
    EXPECT_EQ(ui->lbHidingInfo->text(), text(MessageText::kNotHiding));
    EXPECT_EQ(curl({QStringLiteral("-x"), second, QStringLiteral("http://%1/").arg(page)}).exitCode, 7);
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    service.setPool({entry(2)});
    EXPECT_FALSE(desktopBecomes(proxies.proxyText(2), 3000)) << "hiding came back by itself";
    EXPECT_TRUE(messages.takeRecords().isEmpty());
}
