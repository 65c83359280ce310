// Real headless Chromium with the blocking endpoint as its proxy: a plain page shows the blocked page, a secure
// page fails, and the site itself is never reached. The browser runs inside a private network where only
// loopback exists; the site has a host name there, since browsers send loopback addresses past any proxy.
#include "net/BlockingEndpoint.h"

#include "support/BrowserRunner.h"
#include "support/LoopbackHttpResponder.h"
#include "support/PrivateNetwork.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

using testsupport::BrowserLaunch;
using testsupport::BrowserRun;
using testsupport::BrowserRunner;

const QString kSiteName = QStringLiteral("site.veilport.test");

// Entered before main() starts any thread, so that the browser shares it.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter({kSiteName});

std::string describe(const BrowserRun& run)
{
    QByteArray text;
    // Without a session bus Chromium complains about it at length; those lines tell nothing here.
    for (const QByteArray& line : run.output.right(20000).split('\n')) {
        if (!line.contains("dbus") && !line.trimmed().isEmpty())
            text += line + '\n';
    }
    return text.toStdString();
}

} // namespace

TEST(BlockingEndpointBrowser, ChromiumShowsTheBlockedPageForAPlainPageAndFailsASecureOne)
{
    if (const std::string why = BrowserRunner::whyCannotRun(BrowserLaunch::Browser::Chromium, g_privateNetwork);
        !why.empty())
        GTEST_SKIP() << why;

    testsupport::TempDir dir;
    testsupport::LoopbackHttpResponder site;
    QString certificate;
    QString key;
    QString error;
    ASSERT_TRUE(testsupport::LoopbackHttpResponder::makeCertificate(dir.path(), kSiteName, &certificate, &key, &error))
        << error.toStdString();
    ASSERT_TRUE(site.listen(1));
    ASSERT_TRUE(site.listenTls(1, certificate, key));
    site.setReply(200, "<html><body>the real site</body></html>", "text/html");
    site.recordVisits();
    site.start();

    BlockingEndpoint endpoint;
    endpoint.setPage(QStringLiteral("The web is blocked"), QStringLiteral("No working proxy is left <anywhere>."));
    ASSERT_TRUE(endpoint.start()) << endpoint.errorString().toStdString();

    BrowserRunner browsers;
    BrowserLaunch launch;
    launch.environment =
        BrowserRunner::environmentWithoutProxy(dir.file(QStringLiteral("home")), dir.file(QStringLiteral("config")));
    launch.extraArgs = {QStringLiteral("--proxy-server=http://") + endpoint.proxyAddress()};
    launch.url = QStringLiteral("http://%1:%2/page.html").arg(kSiteName).arg(site.port(0));
    const BrowserRun plain = browsers.load(launch);
    ASSERT_TRUE(plain.ok()) << describe(plain);
    // --dump-dom prints the page as the browser built it.
    EXPECT_TRUE(plain.output.contains("<title>The web is blocked</title>")) << describe(plain);
    EXPECT_TRUE(plain.output.contains("No working proxy is left &lt;anywhere&gt;.")) << describe(plain);
    EXPECT_FALSE(plain.output.contains("the real site")) << describe(plain);
    EXPECT_GE(endpoint.requestsAnswered(), 1u);

    launch.url = QStringLiteral("https://%1:%2/page.html").arg(kSiteName).arg(site.port(1));
    const BrowserRun secure = browsers.load(launch);
    ASSERT_TRUE(secure.ok()) << describe(secure);
    EXPECT_FALSE(secure.output.contains("the real site")) << describe(secure);
    EXPECT_FALSE(secure.output.contains("The web is blocked")) << "a proxy's answer to CONNECT is never shown";
    EXPECT_GE(endpoint.connectsRefused(), 1u);

    // Neither load reached the site by any other way.
    EXPECT_TRUE(site.visits().isEmpty()) << site.visits().size() << " connections reached the site";
}
