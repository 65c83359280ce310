// The proof that hiding works: real Chromium and Firefox ESR, headless, load a small local site that has a
// host name while the real program hides through a real tinyproxy, and again after the user's Stop Hide.
// Where each connection went is read from tinyproxy's log and from the site's own visit log, which names the
// process at the other end of every connection: the browser itself (direct) or tinyproxy (carrying the
// browser's request). The program runs with its real window on a private X display, where Stop Hide is
// pressed on its keyboard; it fetches its list from the real local list service whose pool holds the tinyproxy.
#include "ProgramProcess.h"
#include "support/BrowserRunner.h"
#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/PrivateNetwork.h"
#include "support/Socks5Servers.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"
#include "support/VirtualDisplay.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

namespace {

using apptest::waitUntil;
using testsupport::BrowserLaunch;
using testsupport::BrowserRun;
using testsupport::BrowserRunner;
using Browser = testsupport::BrowserLaunch::Browser;
using Visit = testsupport::LoopbackHttpResponder::Visit;

// A name only the private /etc/hosts knows. Both browsers send requests for "localhost" and loopback
// addresses direct whatever the proxy settings say, so a loopback site is reached through a proxy only
// under a name; tinyproxy resolves it too, for the requests it carries.
const QString kSiteName = QStringLiteral("site.veilport.test");

// Entered before main() starts any thread, so that every process the tests start shares it: the browsers,
// tinyproxy and the program reach nothing beyond loopback.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter({kSiteName});
// A name that only a SOCKS5 proxy's own /etc/hosts knows: a browser reaches it only by handing it to the proxy.
const QString kProxySideName = QStringLiteral("proxy-side.veilport.test");

constexpr int kHideTimeoutMs = 60000;
constexpr int kStopTimeoutMs = 30000;
// Stop Hide's button is "S&top Hide": its mnemonic presses it.
const QString kStopHideKeys = QStringLiteral("alt+t");

enum class Desktop
{
    Gnome,
    Kde
};

// What one page load left behind: the browser's run, the lines tinyproxy logged meanwhile, and the site's visits.
struct PageLoad
{
    QString who;
    QString pagePath;
    qsizetype logStart = 0; // where tinyproxy's log stood when the browser started
    BrowserRun run;
    QByteArray proxyLog;
    QList<Visit> visits;
};

std::string describe(const PageLoad& load)
{
    QByteArray text = "--- " + load.who.toUtf8() + " visits of the site:\n";
    for (const Visit& visit : load.visits)
        text += "  port " + QByteArray::number(visit.port) + (visit.tls ? " (TLS)" : "") + " from " +
                (visit.peer.isEmpty() ? QByteArray("an unknown process") : visit.peer) + " [" +
                QByteArray::number(visit.peerPid) + "] " + visit.request + ' ' + visit.tlsFailure + '\n';
    text += "--- tinyproxy meanwhile:\n" + load.proxyLog + "--- browser output:\n";
    // Without a session bus the browsers complain about it at length; those lines tell nothing here.
    for (const QByteArray& line : load.run.output.right(20000).split('\n')) {
        if (!line.contains("dbus") && !line.trimmed().isEmpty())
            text += line + '\n';
    }
    return text.toStdString();
}

// A private installation whose list service offers one working tinyproxy, a home whose settings say that
// hiding was on, a local site with a plain and a secure port, and a private X display for the program's window.
class BrowserHiding : public apptest::ProgramCopiesTest
{
protected:
    void SetUp() override
    {
        if (!g_privateNetwork)
            GTEST_SKIP() << "needs a private network: " << testsupport::PrivateNetwork::error().toStdString();
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
        for (const Browser browser : {Browser::Chromium, Browser::Firefox}) {
            if (BrowserRunner::executable(browser).isEmpty())
                GTEST_SKIP() << BrowserRunner::name(browser).toStdString() << " is not installed (run scripts/setup)";
        }
        if (!testsupport::VirtualDisplay::toolsInstalled())
            GTEST_SKIP() << "Xvfb or xdotool is not installed (run scripts/setup)";

        QString certificate;
        QString key;
        QString error;
        ASSERT_TRUE(
            testsupport::LoopbackHttpResponder::makeCertificate(root.path(), kSiteName, &certificate, &key, &error))
            << error.toStdString();
        ASSERT_TRUE(site.listen(1));
        ASSERT_TRUE(site.listenTls(1, certificate, key));
        // Every page holds an image from the secure port, so one load asks for a plain and a secure page.
        // The browsers do not trust the certificate, and need not: what counts is where they connect.
        site.setReply(200, "<html><body>plain<img src=\"" + secureUrl().toUtf8() + "\"></body></html>", "text/html");
        site.recordVisits();
        site.start();

        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(service.start(
            {{proxies.proxyText(0), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")}}))
            << service.errorText().toStdString();
        ASSERT_TRUE(install(service.oemDat()));
        // The usual layout, $XDG_CONFIG_HOME = ~/.config: Chromium reads KDE's kioslaverc from ~/.config only.
        // The program's own Firefox command lines go to a stand-in that ends at once: the Firefox under test
        // follows the desktop settings alone, and the program does not wait for a Firefox at every change.
        apptest::writeHidingWasOn(root, QStringLiteral("home/.config/Veilport"), "FireFoxPath=/bin/true\r\n");
        ASSERT_TRUE(display.start()) << display.errorText().toStdString();
    }

    QString configFile(const QString& name) const { return root.file(QStringLiteral("home/.config/") + name); }

    QString plainUrl(const QString& path, const QString& host = kSiteName) const
    {
        return QStringLiteral("http://%1:%2%3").arg(host).arg(site.port(0)).arg(path);
    }

    QString secureUrl() const { return QStringLiteral("https://%1:%2/secure.png").arg(kSiteName).arg(site.port(1)); }

    // The environment of a user of the given desktop in the private home, without a session bus.
    QProcessEnvironment userEnvironment(Desktop desktop) const
    {
        QProcessEnvironment env = testsupport::PrivateHome(root.path()).programEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configFile(QString()));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.remove(QStringLiteral("KDE_FULL_SESSION"));
        if (desktop == Desktop::Gnome) {
            env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
            env.remove(QStringLiteral("KDE_SESSION_VERSION"));
        } else {
            env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
            env.insert(QStringLiteral("KDE_SESSION_VERSION"), QStringLiteral("5"));
        }
        return env;
    }

    // Whether the desktop's proxy settings (GNOME's always, KDE's on a KDE desktop) name a proxy (or none).
    bool desktopPointsAtProxy(Desktop desktop, bool proxy) const
    {
        const QByteArray gnome = root.read(QStringLiteral("home/.config/glib-2.0/settings/keyfile"));
        if (!gnome.contains(proxy ? "mode='manual'" : "mode='none'"))
            return false;
        return desktop == Desktop::Gnome ||
               root.read(QStringLiteral("home/.config/kioslaverc")).contains(proxy ? "ProxyType=1" : "ProxyType=0");
    }

    std::string desktopSettings() const
    {
        return "--- keyfile:\n" + root.read(QStringLiteral("home/.config/glib-2.0/settings/keyfile")).toStdString() +
               "--- kioslaverc:\n" + root.read(QStringLiteral("home/.config/kioslaverc")).toStdString() +
               "--- program:\n" + traces();
    }

    // Starts the program on the desktop's session and waits until it has pointed the desktop at the proxy.
    bool startHiding(Desktop desktop)
    {
        QProcessEnvironment env = userEnvironment(desktop);
        env.insert(QStringLiteral("DISPLAY"), display.name());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_program = launch(env);
        return waitUntil([&] { return desktopPointsAtProxy(desktop, true); }, kHideTimeoutMs);
    }

    // Presses Stop Hide in the program's window and waits until the desktop is back to a direct connection.
    bool stopHiding(Desktop desktop)
    {
        if (!display.pressKeys(m_program->processId(), kStopHideKeys)) {
            ADD_FAILURE() << display.errorText().toStdString();
            return false;
        }
        return waitUntil([&] { return desktopPointsAtProxy(desktop, false); }, kStopTimeoutMs);
    }

    // Loads one page (with its secure image) in the browser as the desktop's user.
    PageLoad load(Browser browser, Desktop desktop, const QString& name, const QString& host = kSiteName)
    {
        PageLoad load;
        load.who = BrowserRunner::name(browser) + (desktop == Desktop::Gnome ? QStringLiteral(" (GNOME settings)")
                                                                             : QStringLiteral(" (KDE settings)"));
        load.pagePath = QStringLiteral("/") + name + QStringLiteral(".html");
        load.logStart = proxies.log(0).size();
        const qsizetype visitsBefore = site.visits().size();
        BrowserLaunch launch;
        launch.browser = browser;
        launch.url = plainUrl(load.pagePath, host);
        launch.environment = userEnvironment(desktop);
        load.run = browsers.load(launch);
        load.proxyLog = proxies.log(0).mid(load.logStart);
        load.visits = site.visits().mid(visitsBefore);
        return load;
    }

    // Both pages went through tinyproxy: it forwarded the plain one and tunnelled to the secure one, and the
    // site saw no connection from anyone but tinyproxy. Called before the next browser starts, as it reads the
    // lines tinyproxy writes after the browser has gone.
    void expectThroughProxy(PageLoad load)
    {
        const std::string who = load.who.toStdString();
        ASSERT_TRUE(load.run.ok()) << who << " did not load the page\n" << describe(load);
        const QByteArray get = "GET " + plainUrl(load.pagePath).toUtf8() + ' ';
        const QByteArray connect = "CONNECT " + kSiteName.toUtf8() + ':' + QByteArray::number(site.port(1)) + ' ';
        waitUntil(
            [&] {
                load.proxyLog = proxies.log(0).mid(load.logStart);
                return load.proxyLog.contains(get) && load.proxyLog.contains(connect);
            },
            2000);
        QStringList leaks;
        for (const Visit& visit : load.visits) {
            if (visit.peer != "tinyproxy")
                leaks << QStringLiteral("%1 port from %2")
                             .arg(visit.tls ? QStringLiteral("secure") : QStringLiteral("plain"),
                                  visit.peer.isEmpty() ? QStringLiteral("an unknown process")
                                                       : QString::fromUtf8(visit.peer));
        }
        const bool hadFailure = HasFailure();
        EXPECT_TRUE(load.proxyLog.contains(get)) << who << " did not send the plain page through the proxy";
        EXPECT_TRUE(load.proxyLog.contains(connect)) << who << " did not send the secure page through the proxy";
        EXPECT_TRUE(leaks.isEmpty()) << who << " reached the site without the proxy: "
                                     << leaks.join(QStringLiteral(", ")).toStdString();
        if (!hadFailure && HasFailure())
            std::cerr << describe(load) << std::endl;
    }

    // Both pages went straight to the site: it saw the browser itself on its plain and its secure port, and
    // tinyproxy carried nothing for the site.
    void expectDirect(const PageLoad& load)
    {
        const std::string who = load.who.toStdString();
        ASSERT_TRUE(load.run.ok()) << who << " did not load the page\n" << describe(load);
        const auto seen = [&](bool tls, bool throughProxy) {
            for (const Visit& visit : load.visits) {
                const bool fromProxy = visit.peer == "tinyproxy";
                if (visit.tls == tls && !visit.peer.isEmpty() && fromProxy == throughProxy &&
                    (tls || visit.request.startsWith("GET " + load.pagePath.toUtf8() + ' ')))
                    return true;
            }
            return false;
        };
        const bool hadFailure = HasFailure();
        EXPECT_FALSE(load.proxyLog.contains(kSiteName.toUtf8())) << who << " still used the proxy";
        EXPECT_FALSE(seen(false, true) || seen(true, true)) << who << " reached the site through the proxy";
        EXPECT_TRUE(seen(false, false)) << who << " did not load the plain page directly";
        EXPECT_TRUE(seen(true, false)) << who << " did not connect to the secure page directly";
        if (!hadFailure && HasFailure())
            std::cerr << describe(load) << std::endl;
    }

    testsupport::LoopbackHttpResponder site;
    testsupport::TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    testsupport::VirtualDisplay display;
    BrowserRunner browsers;

private:
    QProcess* m_program = nullptr;
};

} // namespace

// Firefox follows the system settings out of the box, on every desktop, through GNOME's.
TEST_F(BrowserHiding, UnderGnomeSettingsChromiumAndFirefoxGoThroughTheProxyUntilStopHide)
{
    ASSERT_TRUE(startHiding(Desktop::Gnome)) << "the program never applied the proxy\n" << desktopSettings();
    expectThroughProxy(load(Browser::Chromium, Desktop::Gnome, QStringLiteral("chromium-hiding")));
    expectThroughProxy(load(Browser::Firefox, Desktop::Gnome, QStringLiteral("firefox-hiding")));

    ASSERT_TRUE(stopHiding(Desktop::Gnome)) << "Stop Hide did not return the desktop to direct\n" << desktopSettings();
    expectDirect(load(Browser::Chromium, Desktop::Gnome, QStringLiteral("chromium-stopped")));
    expectDirect(load(Browser::Firefox, Desktop::Gnome, QStringLiteral("firefox-stopped")));
}

TEST_F(BrowserHiding, UnderKdeSettingsChromiumGoesThroughTheProxyUntilStopHide)
{
    ASSERT_TRUE(startHiding(Desktop::Kde)) << "the program never applied the proxy\n" << desktopSettings();
    expectThroughProxy(load(Browser::Chromium, Desktop::Kde, QStringLiteral("chromium-hiding")));

    ASSERT_TRUE(stopHiding(Desktop::Kde)) << "Stop Hide did not return the desktop to direct\n" << desktopSettings();
    expectDirect(load(Browser::Chromium, Desktop::Kde, QStringLiteral("chromium-stopped")));
}

// Chromium follows GNOME's SOCKS keys with a SOCKS5 proxy that resolves the names: the site's name is known
// only on the proxy's side, and the page loads through it. Stop Hide leaves none of it behind.
TEST_F(BrowserHiding, ThroughASocks5ProxyChromiumUnderGnomeSettingsLeavesTheSitesNameToTheProxy)
{
    testsupport::Socks5Servers socks;
    ASSERT_TRUE(socks.start(testsupport::Socks5Servers::Microsocks, {kProxySideName})) << qPrintable(socks.errorText());
    service.setPool({{QStringLiteral("socks5://") + socks.proxyText(0), QStringLiteral("Canada"),
                      QStringLiteral("-75.7"), QStringLiteral("45.4")}});
    ASSERT_TRUE(startHiding(Desktop::Gnome)) << "the program never applied the proxy\n" << desktopSettings();
    const QByteArray keyfile = root.read(QStringLiteral("home/.config/glib-2.0/settings/keyfile"));
    EXPECT_TRUE(keyfile.contains("[system/proxy/socks]\nhost='127.0.0.1'\nport=" + QByteArray::number(socks.port(0))))
        << desktopSettings();

    const PageLoad load =
        this->load(Browser::Chromium, Desktop::Gnome, QStringLiteral("chromium-socks"), kProxySideName);
    const auto throughSocks = [&](const Visit& visit) {
        return visit.peer == "microsocks" && visit.request.startsWith("GET " + load.pagePath.toUtf8() + ' ');
    };
    EXPECT_TRUE(std::any_of(load.visits.begin(), load.visits.end(), throughSocks))
        << "Chromium did not load the page through the SOCKS5 proxy\n"
        << describe(load) << desktopSettings();

    ASSERT_TRUE(stopHiding(Desktop::Gnome)) << "Stop Hide did not return the desktop to direct\n" << desktopSettings();
    EXPECT_TRUE(
        root.read(QStringLiteral("home/.config/glib-2.0/settings/keyfile")).contains("[system/proxy/socks]\nhost=''\n"))
        << desktopSettings();
}
