// The page that shows a visitor what sites see, as the real list service renders it for requests that come
// direct, through a real elite tinyproxy and through one that passes the user's address on.
#include "HttpExchange.h"
#include "support/ListServiceFixture.h"
#include "support/TinyproxyFixture.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using testsupport::ListServiceFixture;
using testsupport::TinyproxyFixture;

namespace {

// What the server put on the page for the script and for tests to read.
struct CheckView
{
    int status = 0;
    QString page;
    QString attribute(const QString& id, const QString& name) const
    {
        const QRegularExpression element(QStringLiteral("<[a-z]+ id=\"%1\"[^>]*>").arg(id));
        const QString tag = element.match(page).captured(0);
        return QRegularExpression(QStringLiteral(" %1=\"([^\"]*)\"").arg(name)).match(tag).captured(1);
    }
    QString state() const { return attribute(QStringLiteral("verdict"), QStringLiteral("data-server-state")); }
    QString where() const { return attribute(QStringLiteral("verdict"), QStringLiteral("data-where")); }
    QString seen() const { return attribute(QStringLiteral("verdict"), QStringLiteral("data-seen")); }
    QString own() const { return attribute(QStringLiteral("own"), QStringLiteral("data-own")); }
    QString proxyKind() const { return attribute(QStringLiteral("proxy-kind"), QStringLiteral("data-kind")); }
    QString language() const { return attribute(QStringLiteral("html"), QStringLiteral("lang")); }
};

CheckView viewOf(const HttpAnswer& answer)
{
    CheckView view;
    view.status = answer.status;
    view.page = QString::fromUtf8(answer.body);
    // The root element has no id; give the language a place the reader finds.
    view.page.replace(QStringLiteral("<html lang="), QStringLiteral("<html id=\"html\" lang="));
    return view;
}

QByteArray request(const QByteArray& target, const QByteArray& host, const QByteArray& headers = QByteArray())
{
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers + "Connection: close\r\n\r\n";
}

class CheckPageTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(service.start()) << service.errorText().toStdString(); }

    CheckView direct(const QByteArray& query, const QByteArray& headers = QByteArray())
    {
        return viewOf(RawExchange(service.port(), request("/check" + query, service.host().toUtf8(), headers)));
    }
    CheckView through(const TinyproxyFixture& proxy, const QByteArray& query)
    {
        return viewOf(
            RawExchange(proxy.port(0), request(service.url("/check" + query).toUtf8(), service.host().toUtf8())));
    }

    ListServiceFixture service;
};

TEST_F(CheckPageTest, SeenAddressIsComparedWithTheUsersOwnOnPlainAndTls)
{
    const CheckView own = direct("?LocalIP=127.0.0.1");
    ASSERT_EQ(own.status, 200) << own.page.toStdString();
    EXPECT_EQ(own.seen(), "127.0.0.1");
    EXPECT_EQ(own.own(), "yes");
    EXPECT_EQ(own.state(), "visible");
    EXPECT_EQ(own.where(), "address");
    EXPECT_EQ(own.attribute("verdict", "data-state"), "pending") << "the script settles it after WebRTC";

    // A list of the user's addresses, in any of the separators and spellings, none of them the one seen.
    const CheckView other = direct("?LocalIP=203.0.113.9,%20::ffff:198.51.100.1;2001:DB8::0001");
    EXPECT_EQ(other.own(), "no");
    EXPECT_EQ(other.state(), "hidden");
    EXPECT_EQ(other.where(), "");
    EXPECT_EQ(other.attribute("verdict", "data-own"), "203.0.113.9 198.51.100.1 2001:db8:0:0:0:0:0:1");

    const CheckView unknown = direct("");
    EXPECT_EQ(unknown.own(), "unknown");
    EXPECT_EQ(unknown.state(), "unknown") << "without the user's address the page cannot call it hidden";

    const HttpAnswer secure = TlsExchange(service.tlsPort(), request("/check?LocalIP=127.0.0.1", "127.0.0.1"));
    ASSERT_EQ(secure.status, 200);
    EXPECT_EQ(viewOf(secure).state(), "visible");
    EXPECT_FALSE(secure.body.contains("src=\"http")) << "the page loads nothing from elsewhere";
}

TEST_F(CheckPageTest, ProxiesShowAsEliteAnonymousOrTransparent)
{
    TinyproxyFixture elite;
    ASSERT_TRUE(elite.start(1)) << elite.errorText().toStdString();
    const CheckView hidden = through(elite, "?LocalIP=127.0.0.1");
    ASSERT_EQ(hidden.status, 200) << hidden.page.toStdString();
    EXPECT_EQ(hidden.seen(), TinyproxyFixture::outgoingAddress(0));
    EXPECT_EQ(hidden.own(), "no");
    EXPECT_EQ(hidden.proxyKind(), "none");
    EXPECT_EQ(hidden.state(), "hidden");

    // tinyproxy's X-Tinyproxy header names the client it serves: the user.
    TinyproxyFixture transparent;
    transparent.setExtraConfig({QStringLiteral("XTinyproxy Yes")});
    ASSERT_TRUE(transparent.start(1)) << transparent.errorText().toStdString();
    const CheckView told = through(transparent, "?LocalIP=127.0.0.1");
    EXPECT_EQ(told.own(), "no");
    EXPECT_EQ(told.proxyKind(), "transparent");
    EXPECT_EQ(told.state(), "visible");
    EXPECT_EQ(told.where(), "header");
    EXPECT_TRUE(told.page.contains(QRegularExpression("<tr class=\"reveals\"[^>]*><th>X-Tinyproxy</th><td>127.0.0.1<")))
        << told.page.toStdString();

    const CheckView announced = direct("?LocalIP=203.0.113.9", "Via: 1.1 cache.example (squid)\r\n");
    EXPECT_EQ(announced.proxyKind(), "anonymous");
    EXPECT_EQ(announced.state(), "hidden");
    EXPECT_TRUE(announced.page.contains("<th>Via</th><td>1.1 cache.example (squid)</td>"));

    // Without the user's address, an address a proxy passes on may be theirs.
    const CheckView forwarded = direct("", "X-Forwarded-For: 198.51.100.23\r\n");
    EXPECT_EQ(forwarded.state(), "visible");
    EXPECT_EQ(forwarded.where(), "header");
}

TEST_F(CheckPageTest, GarbageIsIgnoredWithANoteAndNeverEchoed)
{
    const CheckView some = direct("?LocalIP=%3Cscript%3Ealert(1)%3C/script%3E,127.0.0.1,1.2.3,::g,1.2.3.4.5");
    EXPECT_EQ(some.own(), "yes") << "the one address among the garbage still counts";
    EXPECT_EQ(some.attribute("verdict", "data-own"), "127.0.0.1");
    EXPECT_TRUE(some.page.contains("that were not IP addresses were ignored: <b>4</b>."));
    EXPECT_FALSE(some.page.contains("alert(1)"));

    const CheckView huge = direct("?LocalIP=" + QByteArray("1").repeated(6000) + ",127.0.0.1");
    EXPECT_EQ(huge.own(), "unknown");
    EXPECT_TRUE(huge.page.contains("The list of your own addresses was too long and was ignored."));
    EXPECT_FALSE(huge.page.contains("1111111111"));
    const CheckView many = direct("?LocalIP=" + QByteArray("10.0.0.1,").repeated(40));
    EXPECT_EQ(many.own(), "unknown");
    EXPECT_EQ(many.state(), "unknown");
    EXPECT_TRUE(many.page.contains("The list of your own addresses was too long and was ignored."));

    const CheckView hostile =
        direct("?LocalIP=203.0.113.9", "X-Forwarded-For: \"><img src=x onerror=alert(2)> %2 %17\r\n");
    EXPECT_FALSE(hostile.page.contains("<img")) << hostile.page.toStdString();
    EXPECT_TRUE(hostile.page.contains("&quot;&gt;&lt;img src=x onerror=alert(2)&gt; %2 %17"));
    EXPECT_EQ(hostile.page.count("<script"), 1) << "only the page's own script";
    EXPECT_EQ(hostile.state(), "hidden");
}

TEST_F(CheckPageTest, GermanByAcceptLanguageUnlessTheLanguageIsGiven)
{
    const CheckView german = direct("?LocalIP=127.0.0.1", "Accept-Language: fr;q=1, de-AT;q=0.9, en;q=0.5\r\n");
    EXPECT_EQ(german.language(), "de");
    EXPECT_TRUE(german.page.contains("<title>Was Websites sehen</title>"));
    EXPECT_TRUE(german.page.contains("Das ist Ihre eigene Adresse."));

    EXPECT_EQ(direct("", "Accept-Language: de, en;q=0.5\r\n").language(), "de");
    EXPECT_EQ(direct("", "Accept-Language: de;q=0.2, en-GB;q=0.8\r\n").language(), "en");
    EXPECT_EQ(direct("?&LANG=English&ACTION=CHECK", "Accept-Language: de\r\n").language(), "en")
        << "the program's own language wins";
    EXPECT_EQ(direct("?lang=de").language(), "de");
    EXPECT_EQ(direct("?lang=French", "Accept-Language: garbage;q=x,,;\r\n").language(), "en");
}

} // namespace
