#include "ui/InfoPageView.h"

#include "support/ListServiceFixture.h"
#include "support/PrivateNetwork.h"
#include "support/Wait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

using testsupport::PrivateNetwork;
using testsupport::waitUntil;

namespace {

// Entered before main() starts any thread (the web engine's among them), so that the pages reach nothing beyond
// loopback. The engine's hiding of host addresses behind mDNS names is off, as in an engine that has none: a local
// address shows as a host candidate unless a WebRTC setting keeps it out.
const bool g_privateNetwork = [] {
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-features=WebRtcHideLocalIpsWithMdns");
    return PrivateNetwork::enter();
}();

const QString kCard = QStringLiteral("veilport0");
const QString kCardAddress = QStringLiteral("198.18.0.1");

// The non-loopback addresses of the candidates the check page in view gathered, once its verdict is settled;
// nothing when it did not settle in time or WebRTC did not run.
std::optional<QStringList> hostAddresses(QWebEngineView& view, const QString& url)
{
    view.load(QUrl(url));
    const QString script = QStringLiteral("(function () { var v = document.getElementById('verdict');"
                                          " if (!v || v.dataset.state === 'pending') return '';"
                                          " return JSON.stringify({webrtc: v.dataset.webrtc, candidates:"
                                          " Array.from(document.querySelectorAll('#candidates li')).map(function (li) {"
                                          " return li.dataset.kind + ' ' + li.dataset.address; })}); })()");
    QJsonObject settled;
    waitUntil(
        [&] {
            // Shared: an answer that comes after the wait gave up must still have somewhere to go.
            const auto answer = std::make_shared<std::optional<QString>>();
            view.page()->runJavaScript(script, [answer](const QVariant& result) { *answer = result.toString(); });
            waitUntil([&] { return answer->has_value(); }, 5000);
            settled = answer->has_value() ? QJsonDocument::fromJson(answer->value().toUtf8()).object() : QJsonObject();
            return !settled.isEmpty();
        },
        30000, 100);
    if (settled.value(QStringLiteral("webrtc")).toString() != QLatin1String("on"))
        return std::nullopt;
    QStringList addresses;
    for (const QJsonValue each : settled.value(QStringLiteral("candidates")).toArray()) {
        const QString candidate = each.toString();
        if (!candidate.startsWith(QLatin1String("loopback ")))
            addresses << candidate.section(u' ', 1);
    }
    return addresses;
}

} // namespace

// A plain web view lets a page's WebRTC name the machine's local address; the program's own view does not.
TEST(InfoPageView, APagesWebRtcLearnsNoLocalAddress)
{
    if (!g_privateNetwork)
        GTEST_SKIP() << "needs a private network: " << PrivateNetwork::error().toStdString();
    ASSERT_TRUE(PrivateNetwork::addNetworkCard(kCard, QHostAddress(kCardAddress)))
        << PrivateNetwork::error().toStdString();
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start()) << service.errorText().toStdString();
    const QString url =
        service.url(QStringLiteral("/check?&LANG=English&VER=0100&SVER=1&ACTION=CHECK&LocalIP=127.0.0.1"));

    QWebEngineView plain;
    plain.resize(400, 300);
    plain.show();
    const std::optional<QStringList> exposed = hostAddresses(plain, url);
    ASSERT_TRUE(exposed) << "WebRTC did not run in the plain view";
    ASSERT_TRUE(exposed->contains(kCardAddress))
        << "the card's address is no candidate here: " << exposed->join(u' ').toStdString();

    InfoPageView own;
    own.resize(400, 300);
    own.show();
    const std::optional<QStringList> kept = hostAddresses(own, url);
    ASSERT_TRUE(kept) << "WebRTC did not run in the program's view";
    EXPECT_TRUE(kept->isEmpty()) << kept->join(u' ').toStdString();

    EXPECT_TRUE(PrivateNetwork::removeNetworkCard(kCard)) << PrivateNetwork::error().toStdString();
}
