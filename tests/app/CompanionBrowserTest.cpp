#include "app/InstanceMessages.h"
#include "platform/UnixInstanceChannel.h"
#include "proxy/CompanionHub.h"
#include "proxy/CompanionRegistration.h"
#include "support/EndsWithParent.h"
#include "support/HostilePeerLimits.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include "ProgramProcess.h"

#include <QDir>
#include <QHostAddress>
#include <QStandardPaths>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUuid>

#include <gtest/gtest.h>

#include <csignal>

using testsupport::spinUntil;

namespace {

// The machine's own non-loopback address: browsers send requests for loopback addresses direct
// whatever their proxy says, so the site must live elsewhere for the proxy to be used at all.
QString siteAddress()
{
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return {};
}

// A site whose page sets a cookie and then asks for /probe every 300 ms; it records whether each
// probe carried the cookie.
class CookieSite : public QObject
{
public:
    bool listen(const QString& address) { return m_server.listen(QHostAddress(address)); }
    QString url() const
    {
        return QStringLiteral("http://%1:%2/").arg(m_server.serverAddress().toString()).arg(m_server.serverPort());
    }
    int probes() const { return int(m_probes.size()); }
    // Whether the last probe carried the cookie.
    bool lastHadCookie() const { return !m_probes.isEmpty() && m_probes.last(); }

    CookieSite()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

private:
    void answer(QTcpSocket* socket)
    {
        QByteArray& head = m_heads[socket];
        head += socket->readAll();
        if (!head.contains("\r\n\r\n"))
            return;
        const QByteArray request = head;
        m_heads.remove(socket);
        QByteArray reply;
        if (request.startsWith("GET /probe")) {
            m_probes << request.contains("\r\nCookie: vp=1");
            reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nCache-Control: no-store\r\nConnection: close\r\n\r\nok";
        } else if (request.startsWith("GET / ")) {
            const QByteArray page = "<html><body><script>let n = 0; setInterval(() => fetch('/probe?' + n++, "
                                    "{cache: 'no-store'}).catch(() => {}), 300);</script></body></html>";
            reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nSet-Cookie: vp=1; Max-Age=3600; Path=/\r\n"
                    "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
                    QByteArray::number(page.size()) + "\r\n\r\n" + page;
        } else {
            reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        }
        socket->write(reply);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_heads;
    QList<bool> m_probes;
};

// The real companion in a real headless browser, its real host, and the program's channel and
// companion hub played by this test; a real tinyproxy as the applied proxy. The browser has no
// desktop proxy settings at all, so only the companion can send its requests through tinyproxy.
class CompanionInBrowser : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        address = siteAddress();
        if (address.isEmpty())
            GTEST_SKIP() << "no non-loopback address to put the site on";
        browserExe = QStandardPaths::findExecutable(QString::fromLatin1(GetParam()));
        if (browserExe.isEmpty())
            GTEST_SKIP() << GetParam() << " is not installed";
        ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
        ASSERT_TRUE(site.listen(address));

        // The host beside a const.dat of its own, so it reaches this test's channel only.
        const QString bin = apptest::builtProgramFolder();
        host = dir.file(QStringLiteral("program/veilport-companion-host"));
        QDir().mkpath(dir.file(QStringLiteral("program")));
        ASSERT_TRUE(apptest::copyFile(bin + QStringLiteral("/veilport-companion-host"), host));
        QFile::setPermissions(host, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QString guid = QUuid::createUuid().toString();
        dir.write(QStringLiteral("program/const.dat"), "[const]\nApp.GUID=" + guid.toUtf8() + "\n");
        ASSERT_TRUE(channel.claim(QStringLiteral("Global\\") + guid));
        channel.serveSessions(WM_COMPANION_SESSION,
                              [this](int fd, const QByteArray& greeting) { hub.adopt(fd, greeting); });
        const CompanionRegistration::Result registered = CompanionRegistration::registerHost(
            host, dir.file(QStringLiteral("home")), dir.file(QStringLiteral("config")));
        ASSERT_TRUE(registered.failed.isEmpty()) << registered.failed.join(' ').toStdString();
        QObject::connect(&hub, &CompanionHub::proxyAnswered, &hub,
                         [this](const QString&, bool ok, const QString&) { answers << ok; });
    }

    void TearDown() override
    {
        if (browser.state() != QProcess::NotRunning) {
            // The whole group: the browsers' helper processes and the host go with it.
            ::kill(-pid_t(browser.processId()), SIGKILL);
            browser.kill();
            browser.waitForFinished(10000);
        }
    }

    bool isFirefox() const { return QString::fromLatin1(GetParam()).startsWith(QStringLiteral("firefox")); }

    void startBrowser()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), dir.file(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.file(QStringLiteral("config")));
        // No desktop: no system proxy to follow.
        env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
        for (const char* name : {"XDG_CURRENT_DESKTOP", "DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy",
                                 "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            env.remove(QString::fromLatin1(name));
        QStringList args;
        if (isFirefox()) {
            const QString profile = dir.file(QStringLiteral("firefox-profile"));
            QDir().mkpath(profile + QStringLiteral("/extensions"));
            ASSERT_TRUE(QFile::copy(apptest::builtProgramFolder() + QStringLiteral("/evport.xpi"),
                                    profile + QStringLiteral("/extensions/companion@veilport.org.xpi")));
            // An unsigned companion is allowed on ESR by this preference; profile extensions start enabled.
            dir.write(QStringLiteral("firefox-profile/user.js"),
                      "user_pref(\"xpinstall.signatures.required\", false);\n"
                      "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                      "user_pref(\"extensions.enabledScopes\", 15);\n"
                      "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                      "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
                      "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                      "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                      "user_pref(\"app.update.disabledForTesting\", true);\n"
                      "user_pref(\"dom.security.https_first\", false);\n"
                      "user_pref(\"network.proxy.type\", 5);\n");
            args << QStringLiteral("--headless") << QStringLiteral("--no-remote") << QStringLiteral("--profile")
                 << profile << site.url();
        } else {
            args << QStringLiteral("--headless=new") << QStringLiteral("--no-sandbox")
                 << QStringLiteral("--no-first-run")
                 << QStringLiteral("--user-data-dir=") + dir.file(QStringLiteral("config/chromium"))
                 << QStringLiteral("--disable-features=DisableLoadExtensionCommandLineSwitch")
                 << QStringLiteral("--load-extension=") + apptest::builtProgramFolder() +
                        QStringLiteral("/companion-chromium")
                 << site.url();
        }
        browser.setProcessEnvironment(env);
        browser.setProcessChannelMode(QProcess::MergedChannels);
        browser.setStandardOutputFile(dir.file(QStringLiteral("browser.log")));
        // A group of its own, so that the browser's helpers end with it.
        browser.setChildProcessModifier([] { ::setpgid(0, 0); });
        testsupport::EndsWithParent(browser);
        browser.start(browserExe, args);
        ASSERT_TRUE(browser.waitForStarted(10000));
    }

    int proxiedProbes() const { return int(proxies.log(0).count("/probe")); }
    std::string log() const { return dir.read(QStringLiteral("browser.log")).right(3000).toStdString(); }

    // Waits for count more probes at the site.
    bool moreProbes(int count, int timeoutMs = 20000)
    {
        const int target = site.probes() + count;
        return spinUntil([&] { return site.probes() >= target; }, timeoutMs);
    }

    QString address;
    QString browserExe;
    QString host;
    testsupport::TempDir dir;
    testsupport::TinyproxyFixture proxies;
    CookieSite site;
    platform::UnixInstanceChannel channel;
    CompanionHub hub;
    QProcess browser;
    QList<bool> answers;
};

} // namespace

TEST_P(CompanionInBrowser, ProxyFollowsTheProgramAndClearingRemovesTheSitesCookie)
{
    startBrowser();
    ASSERT_TRUE(spinUntil([&] { return hub.connectedBrowsers().size() == 1; }, 60000)) << log();
    ASSERT_TRUE(moreProbes(3)) << log();
    EXPECT_EQ(proxiedProbes(), 0);
    EXPECT_TRUE(site.lastHadCookie());

    // Applied: the browser's own requests go through tinyproxy.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_TRUE(spinUntil([&] { return !answers.isEmpty(); }, 10000)) << log();
    EXPECT_TRUE(answers.last());
    ASSERT_TRUE(spinUntil([&] { return proxiedProbes() >= 3; }, 20000)) << log();

    // Cleared: the site's cookie is gone from the browser.
    std::optional<CompanionClearOutcome> outcome;
    hub.clearBrowsingData([&](const CompanionClearOutcome& o) { outcome = o; });
    ASSERT_TRUE(spinUntil([&] { return outcome.has_value(); }, 20000));
    EXPECT_EQ(outcome->cleared.size(), 1) << outcome->failed.join(' ').toStdString();
    ASSERT_TRUE(moreProbes(2));
    EXPECT_FALSE(site.lastHadCookie());

    // Stopped: back to the user's own setting (direct here), with the program still there...
    hub.setProxy(QString());
    ASSERT_TRUE(spinUntil([&] { return answers.size() >= 2; }, 10000));
    moreProbes(2);
    int proxied = proxiedProbes();
    ASSERT_TRUE(moreProbes(3));
    EXPECT_EQ(proxiedProbes(), proxied);

    // ...and when the program goes away while a proxy is applied.
    hub.setProxy(proxies.proxyText(0));
    ASSERT_TRUE(spinUntil([&] { return proxiedProbes() > proxied; }, 20000)) << log();
    hub.closeAll();
    moreProbes(2);
    proxied = proxiedProbes();
    ASSERT_TRUE(moreProbes(3));
    EXPECT_EQ(proxiedProbes(), proxied);
}

INSTANTIATE_TEST_SUITE_P(Browsers, CompanionInBrowser, ::testing::Values("chromium", "firefox-esr"),
                         [](const auto& info) {
                             return QString::fromLatin1(info.param).remove(QLatin1Char('-')).toStdString();
                         });
