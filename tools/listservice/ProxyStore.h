#pragma once

#include "CheckLease.h"
#include "ProxyRanking.h"
#include "SourceParser.h"
#include "StoreChange.h"
#include "StoreContents.h"
#include "StoreWriter.h"
#include "StoredProxy.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QThread>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

// Every proxy the service knows, its sources and its check history. The working set lives in memory,
// so list answers never wait for the disk and a database that breaks leaves the list served; every
// change goes to the database through a writer on a thread of its own (an SQLite file in WAL mode, or a
// PostgreSQL database shared by several instances), and the next start reads it back.
class ProxyStore
{
public:
    explicit ProxyStore(int maxProxies);
    /// Writes what is still queued (one more try) before it goes.
    ~ProxyStore();
    ProxyStore(const ProxyStore&) = delete;
    ProxyStore& operator=(const ProxyStore&) = delete;

    /// Opens (creating or migrating) the database and loads what it holds, waiting for it: meant for the
    /// start, before any request is served. False with error text when the database cannot be used now;
    /// what could be read is kept, and a database that may work later (locked, read-only, a server away) is
    /// tried again with every change.
    bool open(const QString& location, QString& error);
    bool isShared() const { return m_postgres; }
    /// Asks whether this instance is the one that gathers and checks: always for SQLite (answered at once);
    /// for a shared PostgreSQL database the holder of its advisory lock, whose contents are then taken in.
    /// answer runs on this thread.
    void requestLead(std::function<void(bool)> answer);
    /// Reads the whole database again and takes it in (an instance that does not check sees the checker's
    /// results so); done runs on this thread, whether it worked or not.
    void requestReload(std::function<void()> done);
    /// True once after the database's check lock went to another instance while the server was away.
    bool takeLostLead();
    /// Names this instance in the leases it takes and the checks it writes to a shared database.
    void setInstance(const QString& id);
    /// Leases up to max proxies of the shared database due at now for leaseMs (none without one); answer runs
    /// on this thread.
    void requestLeases(int max, qint64 now, qint64 leaseMs, std::function<void(QList<CheckLease>)> answer);
    /// The schema version this build writes.
    static constexpr int kSchemaVersion = StoreWriter::kSchemaVersion;

    /// Makes entries the proxies of source: new ones are added due for a check at once, ones it no longer
    /// names are forgotten. Returns the number added.
    int replaceSource(const QString& source, const QList<SourceEntry>& entries, qint64 now);
    /// The same a slice at a time, for a list of a hundred thousand proxies that must not hold up the thread
    /// answering requests: queues the work, which replaceSome() does.
    void queueReplacement(const QString& source, const QList<SourceEntry>& entries, qint64 now);
    struct Replaced
    {
        QString source;
        int added = 0;
    };
    /// Works on the queued replacements for about budgetMs and returns those it finished. More remains
    /// while replacing() holds.
    QList<Replaced> replaceSome(qint64 budgetMs);
    bool replacing() const { return !m_replacements.empty(); }
    /// Drops the replacements not done yet (this instance no longer gathers).
    void cancelReplacements() { m_replacements.clear(); }
    /// Notes a source's latest fetch for the database and the health page.
    void noteSourceFetch(const QString& source, const QString& location, bool ok, const QString& error, int count,
                         qint64 now);

    /// Books a check; after maxFailures failures in a row the proxy is forgotten. Failed proxies are due
    /// again after interval * 2^(failures in a row - 1), passed ones after interval.
    void recordCheck(qint64 id, const CheckRecord& check, int maxFailures, qint64 intervalSec);
    /// Books a check made under a lease, from the state the lease was taken with: in memory at once when the
    /// proxy is known here, in the database only while the lease is still this instance's. exit: where the
    /// proxy's requests left from (null: not found).
    void recordLeasedCheck(const CheckLease& lease, const CheckRecord& check, int maxFailures, qint64 intervalSec,
                           const QString& instance, const std::pair<QString, GeoPlace>* exit);
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
    QString databaseError() const;
    bool usesDatabase() const { return m_usesDatabase; }
    int databaseErrors() const;
    /// Changes made in memory that the database has not taken yet.
    qint64 unwrittenChanges() const;
    /// Results of leased checks dropped because another instance had taken their proxies meanwhile.
    qint64 droppedResults() const;
    /// Checks written by every instance over the last minute and how many instances wrote them, as of the
    /// last reload; -1 without a shared database.
    qint64 sharedChecksLastMinute() const;
    int sharedCheckers() const;
    /// Empty while the database keeps up; else how slow it is (a batch under way or the last one taking long).
    QString databaseDelay() const;

private:
    struct Replacement
    {
        enum class Step
        {
            Key,   // reading what the list names
            Sweep, // forgetting the source's proxies it no longer names, which makes room first
            Add    // taking the list in
        };
        QString source;
        QList<SourceEntry> entries;
        qint64 now = 0;
        Step step = Step::Key;
        qsizetype next = 0;   // the entry to go on with
        qint64 sweepFrom = 0; // the proxy id the sweep goes on from
        QStringList keys;     // host:port of each entry
        QSet<QString> named;
        int added = 0;
    };

    // Works on one replacement until done or the deadline passes; true once done.
    bool replaceSlice(Replacement& r, const QElapsedTimer& clock, qint64 budgetMs);
    void adopt(StoreContents&& contents);
    void write(StoreChange::Any change);
    void forget(std::map<qint64, StoredProxy>::iterator it);
    // A proxy's next state after check: failures in a row, last pass and when it is due again.
    static void advance(StoredProxy& p, const CheckRecord& check, qint64 intervalSec);

    const int m_maxProxies;
    bool m_postgres = false;
    bool m_usesDatabase = false;
    std::map<qint64, StoredProxy> m_proxies;
    QHash<QString, qint64> m_byKey;
    qint64 m_nextId = 1;
    std::deque<Replacement> m_replacements;
    // The writer and its thread; null: memory only. Answers come back through m_context, which lives here.
    std::unique_ptr<QThread> m_thread;
    StoreWriter* m_writer = nullptr;
    std::unique_ptr<QObject> m_context;
    QString m_openError; // why a database that will never work is not used
    // Every proxy by its next check (seconds since the epoch, id); built by the first due().
    mutable std::set<std::pair<qint64, qint64>> m_schedule;
    mutable bool m_scheduleValid = false;
    static constexpr qint64 kRankRefreshMs = 1000;
    mutable ProxyRanking m_ranking;
};
