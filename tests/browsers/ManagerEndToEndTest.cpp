#include "browsers/DesktopBrowsers.h"
#include "browsers/LoginGuardBrowserControl.h"
#include "proxy/TProxyManager.h"

#include "config/TSettings.h"
#include "platform/XdgAutostart.h"
#include "support/GnomeProxyKeys.h"
#include "support/BrowserTestHome.h"
#include "support/RecordingEngineServices.h"
#include "support/CompanionPeer.h"
#include "support/FakeFirefox.h"
#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/TinyproxyFixture.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::FakeFirefox;
using testsupport::kGnomeProxy;
using testsupport::kGnomeProxyHttp;

namespace {

const QString kOperaFile = QStringLiteral("config/Opera/Opera/profile/opera6.ini");
const QByteArray kOperaOther = "[User Prefs]\nHome URL=http://example.org/\n\n";

// The whole path from the list service to the desktop: real proxies, the manager driving the browser
// chain the program builds (the log-in guard in front of the browser routines, the desktop written in
// the background) over a private home (GSettings keyfile, kioslaverc, an Opera profile, an autostart
// folder), a connected companion, and a fake Firefox that records itself: no step of hiding may start
// a browser.
class HidingEndToEnd : public ::testing::Test
{
protected:
    HidingEndToEnd()
        : browsers(*Settings()), autostart(home.path(QStringLiteral("autostart"))),
          guard(browsers.routines(), autostart, home.path(QStringLiteral("DesktopGuard.dat")),
                [this](std::function<void()> job) { browsers.post(std::move(job)); })
    {
        home.dir().write(QStringLiteral("config/kioslaverc"), "[Proxy Settings]\nProxyType=0\n");
        home.dir().write(kOperaFile, kOperaOther + "[Proxy]\nUse HTTP=0\n");
        Settings()->WriteString(QStringLiteral("FireFoxPath"), FakeFirefox::executable());
        // The address check of a service that sees someone other than the user behind the proxy.
        origin.setReply(200, "RemoteAddr=203.0.113.5\r\n");
        browsers.routines().setServices(&services);
        browsers.setWritesInBackground(true);
        origin.listen(1);
        origin.start();
        manager = std::make_unique<TProxyManager>(guard, services, TProxyManager::TestUrlForHost(origin.hostPort(0)),
                                                  [](int) { return 0; });
    }

    ~HidingEndToEnd() override
    {
        manager.reset();
        browsers.setWritesInBackground(false);
    }

    // Waits until the desktop's writer has written every change asked for so far.
    void settleDesktop()
    {
        browsers.setWritesInBackground(false);
        browsers.setWritesInBackground(true);
    }

    testsupport::BrowserTestHome home;
    testsupport::RecordingEngineServices services;
    FakeFirefox firefox;
    // Reads back what the program's own GNOME writer wrote.
    platform::GnomeProxySettings gnome;
    DesktopBrowsers browsers;
    platform::XdgAutostart autostart;
    LoginGuardBrowserControl guard;
    testsupport::LoopbackHttpResponder origin;
    std::unique_ptr<TProxyManager> manager;
};

} // namespace

TEST_F(HidingEndToEnd, TheOneWorkingProxyReachesEveryBrowserAndStopGoesBackToDirect)
{
    if (!gnome.isAvailable())
        GTEST_SKIP() << "gsettings with the proxy schema is not installed";
    testsupport::TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << qPrintable(proxies.errorText());
    const QString working = proxies.proxyText(0);
    const QString port = working.section(':', 1);
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start({{testsupport::TinyproxyFixture::deadProxyText(), "Canada", "-75.7", "45.4"},
                               {working, "Canada", "-75.6", "45.5"}}))
        << qPrintable(service.errorText());
    testsupport::CompanionPeer companion(browsers.companions());
    QSignalSpy loaded(manager.get(), &TProxyManager::listLoaded);
    manager->DownloadProxyList(service.url("/getproxy.php"));
    ASSERT_TRUE(loaded.wait(10000));

    QSignalSpy changed(manager.get(), &TProxyManager::proxyChanged);
    manager->ChooseCountry("Canada");
    manager->StartHide();
    ASSERT_TRUE(changed.wait(20000));
    EXPECT_EQ(manager->CurrentProxy(), working);
    // The guard knew the proxy before the desktop did, and will take it back at the next log-in.
    settleDesktop();
    EXPECT_EQ(LoginGuardBrowserControl::ReadMemory(home.path(QStringLiteral("DesktopGuard.dat"))), working);
    EXPECT_TRUE(autostart.isEnabled(LoginGuardBrowserControl::EntryName()));

    EXPECT_EQ(gnome.readKey(kGnomeProxy, "mode"), "'manual'");
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, "host"), "'127.0.0.1'");
    EXPECT_EQ(gnome.readKey(kGnomeProxyHttp, "port"), port);
    EXPECT_TRUE(home.dir().read("config/kioslaverc").contains("httpProxy=http://127.0.0.1 " + port.toUtf8()));
    const QByteArray opera = home.dir().read(kOperaFile);
    EXPECT_TRUE(opera.startsWith(kOperaOther)) << opera.constData();
    EXPECT_TRUE(opera.contains(working.toUtf8())) << opera.constData();
    // Whatever came before (the return to direct at the start), the proxy command names the working proxy.
    std::optional<QJsonObject> command;
    do
        command = companion.next();
    while (command && command->value("cmd").toString() != "setProxy");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->value("host").toString(), "127.0.0.1");
    EXPECT_EQ(QString::number(command->value("port").toInt()), port);
    const auto protect = companion.next();
    ASSERT_TRUE(protect);
    EXPECT_EQ(protect->value("cmd").toString(), "setWebRtc");
    EXPECT_TRUE(protect->value("protect").toBool());

    QSignalSpy stopped(manager.get(), &TProxyManager::stopped);
    manager->StopHide();
    EXPECT_EQ(stopped.count(), 1);
    settleDesktop();
    EXPECT_EQ(gnome.readKey(kGnomeProxy, "mode"), "'none'");
    EXPECT_TRUE(home.dir().read("config/kioslaverc").contains("ProxyType=0"));
    EXPECT_FALSE(home.dir().read(kOperaFile).contains(working.toUtf8()));
    const auto back = companion.next();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value("cmd").toString(), "clearProxy");
    const auto release = companion.next();
    ASSERT_TRUE(release);
    EXPECT_EQ(release->value("cmd").toString(), "setWebRtc");
    EXPECT_FALSE(release->value("protect").toBool());
    EXPECT_TRUE(firefox.invocations().isEmpty());
    EXPECT_TRUE(services.messages.isEmpty());
}
