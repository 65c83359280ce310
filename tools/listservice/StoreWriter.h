#pragma once

#include "StoreChange.h"
#include "StoreContents.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QSqlQuery>
#include <QString>
#include <QTimer>

#include <map>
#include <vector>

class QSqlError;

// The store's database connection, on a thread of its own so that nothing the database does (a slow
// server, a file another program holds locked, a disk that fills) ever holds up the thread answering
// requests. Changes queue up from any thread and are written in one transaction per batch; a batch that
// fails stays queued and is tried again, so nothing the service counted is lost while the database is away.
//
// open(), close(), tryLead() and reload() run on the writer's own thread; enqueue(), status() and
// takeLostLead() on any.
class StoreWriter : public QObject
{
    Q_OBJECT
public:
    enum class Opened
    {
        Ok,
        Retrying, // not usable now (a locked or unreachable database): changes are kept and tried again
        Failed    // never usable (not a database, a newer schema, no driver): the store stays in memory
    };
    struct Status
    {
        QString error;      // empty while the database works
        int errors = 0;     // failed attempts so far
        qint64 waiting = 0; // changes not written yet
        // Results of checks whose lease had passed to another instance before they were written.
        qint64 resultsDropped = 0;
        // Checks every instance sharing the database wrote over the last minute, and how many instances made
        // them, as of the last reload; -1: not known (no shared database).
        qint64 checksLastMinute = -1;
        int checkersLastMinute = 0;
        // How long the database takes: when the batch under way began (on steadyMs(), 0: none under way)
        // and how long the last one took, with how many changes each had.
        qint64 batchStartedMs = 0;
        qint64 batchChanges = 0;
        qint64 lastBatchMs = 0;
        qint64 lastBatchChanges = 0;
    };

    explicit StoreWriter(int maxProxies);
    ~StoreWriter() override;

    /// Opens (creating or migrating) the database at location (an SQLite file or a postgresql:// URL) and
    /// reads what it holds into contents.
    Opened open(const QString& location, QString& error, StoreContents& contents);
    /// Writes what is queued (once more, even while waiting to retry) and closes the connection.
    void close();
    /// Whether this instance may check: always for SQLite; for PostgreSQL whether it got the advisory lock
    /// that the checking instance holds. Having got it, contents holds the database as the last checker left
    /// it and loaded is set.
    bool tryLead(StoreContents& contents, bool& loaded);
    /// Writes what is queued, then reads the whole database; false (the error in status()) when it cannot.
    bool reload(StoreContents& contents);
    /// Names this instance in the leases it takes and the checks it writes.
    void setInstance(const QString& id) { m_instance = id; }
    /// Leases up to max proxies due at now (seconds since the epoch) for leaseMs, the longest overdue first,
    /// skipping those another instance holds; empty without a shared database or when it fails.
    QList<CheckLease> lease(int max, qint64 now, qint64 leaseMs);

    /// Queues changes for the next batch.
    void enqueue(std::vector<StoreChange::Any> changes);
    Status status() const;
    /// True once after the lock was lost with a connection and another instance took it meanwhile: the
    /// changes queued then were dropped, being the other checker's to make now.
    bool takeLostLead();

    static constexpr int kSchemaVersion = 5;
    static constexpr int kRetryMs = 1000;
    /// A batch that takes longer than this means a slow database.
    static constexpr qint64 kSlowBatchMs = 1000;
    /// The clock of the batch times in Status.
    static qint64 steadyMs();

private:
    void takeInbox();
    // Writes every queued change in one transaction; on failure keeps them and tries again later.
    void writePending();
    bool apply(const StoreChange::Any& change, QSqlError& error);
    bool applyLeased(const StoreChange::LeasedResult& change, QSqlError& error);
    // Counts and logs the results of a written batch whose leases had passed on.
    void noteDropped();
    bool run(const char* sql, const QVariantList& values, QSqlError& error);
    bool migrate(QString& error);
    bool load(StoreContents& contents, QString& error);
    // After a PostgreSQL error: connects again, and takes the lock again if this instance held it.
    bool ensureConnected();
    bool takeLock();
    void failed(const QString& text);
    void recovered();
    void publish();
    void noteBatch(bool started, qint64 changes);

    static constexpr qint64 kCheckLockKey = 0x7665696c706f7274; // "veilport"
    const int m_maxProxies;
    QString m_connection;
    QString m_shown; // the location without its password, for messages
    bool m_postgres = false;
    bool m_reconnect = false; // the connection failed; open it again before the next use
    bool m_holdsLock = false;
    std::map<const char*, QSqlQuery> m_statements; // prepared once per connection
    std::vector<StoreChange::Any> m_pending;
    QTimer m_retry;
    QString m_error;
    int m_errors = 0;
    QString m_instance;
    int m_batchDropped = 0; // in the batch being written

    mutable QMutex m_mutex; // guards what other threads hand in and read
    std::vector<StoreChange::Any> m_inbox;
    bool m_takePosted = false;
    Status m_status;
    bool m_lostLead = false;
};
