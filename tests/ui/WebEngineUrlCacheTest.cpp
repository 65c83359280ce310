#include "ui/WebEngineUrlCache.h"

#include "browsers/TBrowserRoutines.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <functional>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

int cookieCount(const WebEngineUrlCache& cache)
{
    int n = 0;
    for (const platform::UrlCacheEntry& e : cache.entries())
        n += (e.entryType & platform::UrlCache::CookieEntry) ? 1 : 0;
    return n;
}

} // namespace

TEST(WebEngineUrlCache, ListsTheViewsCookiesAndClearingRemovesThemFromTheProfile)
{
    QWebEngineProfile profile; // off the record: nothing reaches the disk
    // The store acts once the profile's network side runs, which a page brings up.
    QWebEnginePage page(&profile);
    page.setHtml(QStringLiteral("<p>cache</p>"));
    WebEngineUrlCache cache(&profile);
    QNetworkCookie a("sid", "1");
    a.setDomain(QStringLiteral("example.com"));
    a.setPath(QStringLiteral("/"));
    QNetworkCookie b("pref", "dark");
    b.setDomain(QStringLiteral("shop.example.org"));
    b.setPath(QStringLiteral("/"));
    profile.cookieStore()->setCookie(a, QUrl(QStringLiteral("https://example.com/")));
    profile.cookieStore()->setCookie(b, QUrl(QStringLiteral("https://shop.example.org/")));
    ASSERT_TRUE(waitUntil([&] { return cookieCount(cache) == 2; }, 60000));

    const QList<platform::UrlCacheEntry> entries = cache.entries();
    EXPECT_EQ(entries.size(), 4); // two cookies, the visited links, the HTTP cache
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const auto& e) {
        return e.sourceUrl.startsWith(QStringLiteral("Cookie:sid@")) &&
               e.sourceUrl.endsWith(QStringLiteral("example.com/"));
    }));

    int removed = 0;
    QObject::connect(profile.cookieStore(), &QWebEngineCookieStore::cookieRemoved, [&] { ++removed; });
    TBrowserRoutines::Platform p;
    p.urlCache = &cache;
    TBrowserRoutines(p).ClearIECookies();
    EXPECT_EQ(cookieCount(cache), 0);
    EXPECT_TRUE(waitUntil([&] { return removed >= 2; }, 60000));
    EXPECT_FALSE(cache.deleteEntry(entries.constFirst().sourceUrl));
}
