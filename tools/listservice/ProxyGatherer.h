#pragma once

#include "ProxyStore.h"
#include "ServiceConfig.h"
#include "ServiceMetrics.h"
#include "SourceFetcher.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <memory>

class GeoIpDatabase;
class TProxyTester;

// Gathers proxies from the configured sources into the store and checks every one of them on a
// schedule with the program's own tester: a plain request for the service's address check through
// the proxy (HTTP or SOCKS5), the same through a tunnel to the TLS port, the anonymity judgement and the time
// limit. At most CheckConcurrency checks run at once.
class ProxyGatherer : public QObject
{
    Q_OBJECT
public:
    // Where the checks go and how the checker is seen; all of them reach this service through the proxy.
    struct Target
    {
        QString testUrl;        // http://PUBLIC/getip.php?VER=2
        QString tunnelUrl;      // https://PUBLIC_TLS/getip.php?VER=2; empty: no tunnel test
        QString checkerAddress; // a proxy that shows this to the service gives its user away
    };

    ProxyGatherer(ServiceConfig config, ServiceMetrics* metrics, QObject* parent = nullptr);
    ~ProxyGatherer() override;

    /// Opens the configured database (none: memory only); false with error text, the store then runs in memory.
    bool openDatabase(QString& error);
    /// Places proxies by where they exit (null: by their sources only).
    void setGeoIp(const GeoIpDatabase* geo) { m_geo = geo; }
    /// Starts fetching the sources and checking.
    void start(const Target& target);

    const ProxyStore& store() const { return m_store; }
    const ServiceConfig& config() const { return m_config; }
    /// The latest error of each source that failed its last fetch.
    const QHash<QString, QString>& sourceErrors() const { return m_sourceErrors; }
    /// What is amiss with a source whose last list was taken all the same (more proxies than may be kept).
    const QHash<QString, QString>& sourceWarnings() const { return m_sourceWarnings; }
    int checksInFlight() const { return int(m_inFlight.size()); }
    /// Whether the source of this name is the operator's own, whose entries are served as written.
    bool trustedSource(const QString& name) const;
    /// Whether this instance gathers the sources (else another one sharing the database does). Every
    /// instance sharing a PostgreSQL database checks a share of the proxies; with SQLite or none, the one
    /// instance does it all.
    bool leading() const { return m_leading; }
    /// Names this instance in the shared database's leases and checks and on /health: unique per run.
    const QString& instanceId() const { return m_instanceId; }
    /// How long a lease on a proxy lasts: its check's time limit and a margin. An instance that dies or
    /// freezes holds its proxies that long.
    qint64 leaseMs() const { return qint64(m_config.checkTimeoutSec) * 1000 + kLeaseMarginMs; }
    static constexpr qint64 kLeaseMarginMs = 5000;
    /// How often an instance reads the shared database again (the other instances' checks) and, while it
    /// does not gather, asks for the lock.
    static constexpr qint64 kFollowIntervalMs = 3000;
    /// Seconds since the epoch on the service's clock.
    static qint64 now();

signals:
    /// A check was booked (for tests and logs).
    void checked(qint64 id, bool passed);

private:
    void tick();
    // Starts the due checks of the store in memory, as many as there is room for.
    void startDueChecks();
    // Starts gathering (and, without a shared database, checking): this instance holds the database's lock.
    void lead();
    // Stops gathering (and checking without a shared database): another instance holds the lock.
    void stepDown();
    void startTester();
    // Keeps memory in step with the shared database and the lock; one question at a time.
    void follow();
    // Takes due proxies of the shared database under leases and checks them.
    void checkLeased();
    // Checks the due proxies of the store in memory (SQLite or none).
    void checkLocal();
    void onFetched(int index, const SourceParseResult& result, int refused);
    void onFailed(int index, const QString& error);
    // Takes fetched lists in a slice at a time, so a list of a hundred thousand proxies holds up no answer.
    void replaceSome();
    void onResult(bool success, int index, const QString& response, const QString& host, int port, quint32 elapsed);

    ServiceConfig m_config;
    ServiceMetrics* m_metrics;
    ProxyStore m_store;
    std::unique_ptr<SourceFetcher> m_fetcher;
    std::unique_ptr<TProxyTester> m_tester;
    QHash<qint64, qint64> m_inFlight; // proxy id -> start on m_clock
    struct LeasedCheck
    {
        CheckLease lease;
        qint64 startMs = 0; // on m_clock
    };
    // Checks under a lease of the shared database whose results have not come, even those given up as lost:
    // a result that comes late is still offered to the database, whose lease decides.
    QHash<qint64, LeasedCheck> m_leases;
    bool m_leasing = false; // a request for leases is open
    QString m_instanceId;
    QHash<QString, QString> m_sourceErrors;
    QHash<QString, QString> m_sourceWarnings;
    QElapsedTimer m_clock;
    QTimer m_tick;
    QTimer m_replace;
    static constexpr qint64 kReplaceSliceMs = 10;
    struct ListCounts
    {
        qsizetype entries = 0;
        int duplicates = 0;
        int rejected = 0;
        int refused = 0;
    };
    QHash<QString, ListCounts> m_replacing; // per source whose list is being taken in, for its log line
    Target m_target;
    bool m_leading = false;
    qint64 m_lastFollow = 0;
    bool m_following = false; // a question to the shared database about the lock or its contents is open
    const GeoIpDatabase* m_geo = nullptr;
    qint64 m_lastPrune = 0;
};
