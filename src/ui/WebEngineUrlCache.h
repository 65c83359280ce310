#pragma once

#include "platform/UrlCache.h"

#include <QList>
#include <QNetworkCookie>
#include <QObject>
#include <QPointer>

class InfoPageProcess;
class QWebEngineProfile;

// The browsing cache of the program's embedded web view: its cookies (one entry each), its
// visited links and its HTTP cache (one entry each, as the profile clears them only whole). The view is
// in this process (a profile) or in the info-page helper, whose stores end with it.
class WebEngineUrlCache : public QObject, public platform::UrlCache
{
    Q_OBJECT

public:
    // profile: the profile to manage, not owned; null until attach() names one (the web engine is
    // started only when a page is shown, and nothing is stored before that).
    explicit WebEngineUrlCache(QWebEngineProfile* profile, QObject* parent = nullptr);

    // Starts managing this profile, when none is managed yet.
    void attach(QWebEngineProfile* profile);
    // Manages the stores of this helper until it ends.
    void attach(InfoPageProcess* process);

    QList<platform::UrlCacheEntry> entries() const override;
    bool deleteEntry(const QString& sourceUrl) override;

    // The source names of the two whole-store entries.
    static QString visitedLinksEntry();
    static QString httpCacheEntry();

private:
    static QString cookieSource(const QNetworkCookie& cookie);
    void cookieAdded(const QNetworkCookie& cookie);
    void cookieRemoved(const QNetworkCookie& cookie);

    QWebEngineProfile* m_profile = nullptr;
    QPointer<InfoPageProcess> m_process;
    // The cookie store only reports changes, so the known cookies are kept here.
    QList<QNetworkCookie> m_cookies;
};
