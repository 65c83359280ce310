#pragma once

#include "FlagStore.h"
#include "HttpServer.h"
#include "ServiceConfig.h"
#include "ServiceMetrics.h"

class GeoIpDatabase;
class ProxyGatherer;

#include <QElapsedTimer>
#include <QList>
#include <QString>

// The list service's endpoints: the proxy list, the address check used to test proxies, the update
// answer, flags, the map page, the info page, the page that shows what sites see, and the site pages. Pure request ->
// response, so the HTTP layer and tests can drive it alike.
class ListService
{
public:
    ListService(ServiceConfig config, QString poolFile, FlagStore* flags);

    /// Answers one request.
    HttpResponse handle(const HttpRequest& request);

    /// The list text for a caller: LocalIP, the local place and one Proxy_<n> line per pool entry (CR LF lines).
    QByteArray proxyList(const QString& callerAddress, const QString& host);

    /// The pool as last read (the pool file is read again for every list request, so edits apply at once).
    const QList<PoolEntry>& pool() const { return m_pool; }
    /// Replaces the pool (used when no pool file is given).
    void setPool(const QList<PoolEntry>& pool) { m_pool = pool; }
    /// Serves the checked proxies of gatherer instead of the pool (null: the pool as it stands).
    void setGatherer(const ProxyGatherer* gatherer) { m_gatherer = gatherer; }
    /// Places callers with this database (null: every caller gets the configured place).
    void setGeoIp(const GeoIpDatabase* geo) { m_geo = geo; }
    /// The counters this service adds to and shows on /metrics.
    ServiceMetrics& metrics() { return m_metrics; }

    /// The caller's address: the TCP peer, or, when the peer is a trusted reverse proxy, the nearest
    /// address of its X-Forwarded-For that is not trusted itself.
    QString callerAddress(const HttpRequest& request) const;

private:
    HttpResponse answer(const HttpRequest& request);
    HttpResponse flagResponse(const QString& fileName, FlagStore::Size size);
    HttpResponse mapPage(const HttpRequest& request);
    HttpResponse sitePage(const QString& title, const QString& text, const HttpRequest& request);
    HttpResponse infoPage(const HttpRequest& request);
    QString hostFor(const HttpRequest& request) const;
    QString flagUrl(const QString& host, const QString& country) const;
    QStringList callerLines(const QString& callerAddress, const QString& host) const;
    QByteArray checkedList(const QString& callerAddress, const QString& host);
    HttpResponse healthPage();
    HttpResponse metricsPage();
    bool trusted(const QHostAddress& address) const;
    void reloadPool();

    ServiceConfig m_config;
    QString m_poolFile;
    FlagStore* m_flags;
    QList<PoolEntry> m_pool;
    QByteArray m_poolText;
    const ProxyGatherer* m_gatherer = nullptr;
    ServiceMetrics m_metrics;
    const GeoIpDatabase* m_geo = nullptr;
    // The proxy lines of the checked list as last made, for the Host they name in their flag URLs.
    static constexpr qint64 kListCacheMs = 1000;
    QByteArray m_listCacheText;
    QString m_listCacheHost;
    QElapsedTimer m_listCacheAge;
    QList<QPair<QHostAddress, int>> m_trusted;
};
