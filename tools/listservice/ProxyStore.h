#pragma once

#include "SourceParser.h"
#include "StoredProxy.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>

#include <map>
#include <vector>

// Every proxy the service knows, its sources and its check history. The working set lives in memory,
// so list answers never wait for the disk and a database that breaks leaves the list served; every
// change is written through to one SQLite file (WAL) that the next start reads back.
class ProxyStore
{
public:
    explicit ProxyStore(int maxProxies);
    ~ProxyStore();
    ProxyStore(const ProxyStore&) = delete;
    ProxyStore& operator=(const ProxyStore&) = delete;

    /// Opens (creating or migrating) the database and loads what it holds. False with error text when the
    /// file cannot be used; what could be read is kept and the store goes on in memory.
    bool open(const QString& file, QString& error);
    /// Whether this instance is the one that gathers and checks: always for SQLite; for a shared
    /// PostgreSQL database the holder of its advisory lock.
    bool tryLead();
    /// Reads the whole database again (an instance that does not check sees the checker's results so).
    void reload();
    bool isShared() const { return m_postgres; }
    /// After a database server went away: connects again; true once the database works again.
    bool reconnect();
    /// Writes every proxy as memory knows it (changes made while the server was away never reached it).
    void writeMemory();
    /// The schema version this build writes.
    static constexpr int kSchemaVersion = 4;

    /// Makes entries the proxies of source: new ones are added due for a check at once, ones it no longer
    /// names are forgotten. Returns the number added.
    int replaceSource(const QString& source, const QList<SourceEntry>& entries, qint64 now);
    /// Notes a source's latest fetch for the database and the health page.
    void noteSourceFetch(const QString& source, const QString& location, bool ok, const QString& error, int count,
                         qint64 now);

    /// Books a check; after maxFailures failures in a row the proxy is forgotten. Failed proxies are due
    /// again after interval * 2^(failures in a row - 1), passed ones after interval.
    void recordCheck(qint64 id, const CheckRecord& check, int maxFailures, qint64 intervalSec);
    /// Notes where a proxy's requests leave from and where that is.
    void setExit(qint64 id, const QString& address, const GeoPlace& place);
    /// Proxies due for a check at now, the longest overdue first, at most max.
    QList<qint64> due(qint64 now, int max) const;
    const StoredProxy* find(qint64 id) const;

    /// The proxies whose last check passed no earlier than since, best first (success rate over the
    /// recent checks, then latency), at most perCountry of each country.
    QList<const StoredProxy*> best(qint64 since, int perCountry, const QString& fallbackCountry = QString()) const;

    /// Drops history older than before from the database.
    void pruneHistory(qint64 before);

    int size() const { return int(m_proxies.size()); }
    const std::map<qint64, StoredProxy>& proxies() const { return m_proxies; }
    /// Empty while the database works (or none is used); else what went wrong.
    QString databaseError() const { return m_dbError; }
    bool usesDatabase() const { return !m_connection.isEmpty(); }
    int databaseErrors() const { return m_dbErrors; }

private:
    bool migrate(QString& error);
    void load();
    // Runs one statement; on failure records the error and stops writing.
    bool exec(const QString& sql, const QVariantList& values = {});
    void dbFailed(const QString& what);
    // Orders every proxy that ever passed, best first.
    void rank() const;

    static constexpr qint64 kCheckLockKey = 0x7665696c706f7274; // "veilport"
    const int m_maxProxies;
    bool m_postgres = false;
    std::map<qint64, StoredProxy> m_proxies;
    QHash<QString, qint64> m_byKey;
    qint64 m_nextId = 1;
    QString m_connection; // Qt SQL connection name; empty: memory only
    bool m_writable = false;
    QString m_dbError;
    static constexpr qint64 kRankRefreshMs = 1000;
    // The last ranking; invalid once a proxy it points at is gone.
    mutable std::vector<const StoredProxy*> m_ranking;
    mutable bool m_rankingValid = false;
    mutable QElapsedTimer m_rankClock;
    int m_dbErrors = 0;
};
