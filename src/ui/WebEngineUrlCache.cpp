#include "ui/WebEngineUrlCache.h"

#include "ui/InfoPageProcess.h"

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
    connect(store, &QWebEngineCookieStore::cookieAdded, this, &WebEngineUrlCache::cookieAdded);
    connect(store, &QWebEngineCookieStore::cookieRemoved, this, &WebEngineUrlCache::cookieRemoved);
    store->loadAllCookies();
}

void WebEngineUrlCache::attach(InfoPageProcess* process)
{
    if (!process)
        return;
    m_process = process;
    connect(process, &InfoPageProcess::cookieAdded, this, &WebEngineUrlCache::cookieAdded);
    connect(process, &InfoPageProcess::cookieRemoved, this, &WebEngineUrlCache::cookieRemoved);
    // The helper's profile lived in memory: its cookies went with it.
    connect(process, &InfoPageProcess::cookiesGone, this, [this] { m_cookies.clear(); });
}

void WebEngineUrlCache::cookieAdded(const QNetworkCookie& cookie)
{
    for (QNetworkCookie& known : m_cookies) {
        if (known.hasSameIdentifier(cookie)) {
            known = cookie;
            return;
        }
    }
    m_cookies.append(cookie);
}

void WebEngineUrlCache::cookieRemoved(const QNetworkCookie& cookie)
{
    m_cookies.removeIf([&cookie](const QNetworkCookie& known) { return known.hasSameIdentifier(cookie); });
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
    // With no page shown yet, or its helper gone, the whole stores are empty and there are no cookies.
    if (sourceUrl == visitedLinksEntry()) {
        if (m_process)
            m_process->clearVisitedLinks();
        else if (m_profile)
            m_profile->clearAllVisitedLinks();
        return true;
    }
    if (sourceUrl == httpCacheEntry()) {
        if (m_process)
            m_process->clearHttpCache();
        else if (m_profile)
            m_profile->clearHttpCache();
        return true;
    }
    bool found = false;
    const QList<QNetworkCookie> cookies = m_cookies;
    for (const QNetworkCookie& cookie : cookies) {
        if (cookieSource(cookie) != sourceUrl)
            continue;
        if (m_process)
            m_process->deleteCookie(cookie);
        else if (m_profile)
            m_profile->cookieStore()->deleteCookie(cookie);
        // Forgotten at once: the store confirms asynchronously, and a second clear must not
        // delete it twice.
        cookieRemoved(cookie);
        found = true;
    }
    return found;
}
