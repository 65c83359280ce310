#include "ui/WebEngineUrlCache.h"

#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

WebEngineUrlCache::WebEngineUrlCache(QWebEngineProfile* profile, QObject* parent) : QObject(parent)
{
    attach(profile);
}

void WebEngineUrlCache::attach(QWebEngineProfile* profile)
{
    if (!profile || m_profile)
        return;
    m_profile = profile;
    QWebEngineCookieStore* store = m_profile->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie& cookie) {
        for (QNetworkCookie& known : m_cookies) {
            if (known.hasSameIdentifier(cookie)) {
                known = cookie;
                return;
            }
        }
        m_cookies.append(cookie);
    });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this, [this](const QNetworkCookie& cookie) {
        m_cookies.removeIf([&cookie](const QNetworkCookie& known) { return known.hasSameIdentifier(cookie); });
    });
    store->loadAllCookies();
}

QString WebEngineUrlCache::visitedLinksEntry()
{
    return QStringLiteral("Visited: links");
}

QString WebEngineUrlCache::httpCacheEntry()
{
    return QStringLiteral("Cache: http");
}

QString WebEngineUrlCache::cookieSource(const QNetworkCookie& cookie)
{
    return QStringLiteral("Cookie:") + QString::fromUtf8(cookie.name()) + QLatin1Char('@') + cookie.domain() +
           cookie.path();
}

QList<platform::UrlCacheEntry> WebEngineUrlCache::entries() const
{
    QList<platform::UrlCacheEntry> list;
    for (const QNetworkCookie& cookie : m_cookies)
        list.append({cookieSource(cookie), CookieEntry});
    list.append({visitedLinksEntry(), UrlHistoryEntry});
    list.append({httpCacheEntry(), NormalEntry});
    return list;
}

bool WebEngineUrlCache::deleteEntry(const QString& sourceUrl)
{
    if (!m_profile) {
        // No page has been shown yet: the whole stores are empty, and there are no cookies.
        return sourceUrl == visitedLinksEntry() || sourceUrl == httpCacheEntry();
    }
    if (sourceUrl == visitedLinksEntry()) {
        m_profile->clearAllVisitedLinks();
        return true;
    }
    if (sourceUrl == httpCacheEntry()) {
        m_profile->clearHttpCache();
        return true;
    }
    bool found = false;
    const QList<QNetworkCookie> cookies = m_cookies;
    for (const QNetworkCookie& cookie : cookies) {
        if (cookieSource(cookie) != sourceUrl)
            continue;
        m_profile->cookieStore()->deleteCookie(cookie);
        // Forgotten at once: the store confirms asynchronously, and a second clear must not
        // delete it twice.
        m_cookies.removeIf([&cookie](const QNetworkCookie& known) { return known.hasSameIdentifier(cookie); });
        found = true;
    }
    return found;
}
