#pragma once

#include "FlagStore.h"
#include "HttpServer.h"
#include "ServiceConfig.h"

#include <QList>
#include <QString>

// The list service's endpoints: the proxy list, the address check used to test proxies, the update
// answer, flags, the map page, the info page and the site pages. Pure request -> response, so the
// HTTP layer and tests can drive it alike.
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

private:
    HttpResponse flagResponse(const QString& fileName, FlagStore::Size size);
    HttpResponse mapPage(const HttpRequest& request);
    HttpResponse sitePage(const QString& title, const QString& text, const HttpRequest& request);
    HttpResponse infoPage(const HttpRequest& request);
    QString hostFor(const HttpRequest& request) const;
    void reloadPool();

    ServiceConfig m_config;
    QString m_poolFile;
    FlagStore* m_flags;
    QList<PoolEntry> m_pool;
    QByteArray m_poolText;
};
