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
    /// Whether this instance gathers and checks (else another one sharing the database does).
    bool leading() const { return m_leading; }
    /// How often an instance that does not check reads the shared database again and asks for the lock.
    static constexpr qint64 kFollowIntervalMs = 3000;
    /// Seconds since the epoch on the service's clock.
    static qint64 now();

signals:
    /// A check was booked (for tests and logs).
    void checked(qint64 id, bool passed);

private:
    void tick();
    // Starts the checks that are due, as many as there is room for.
    void startDueChecks();
    // Starts gathering and checking: this instance holds the database's check lock.
    void lead();
    // Stops gathering and checking: another instance holds the lock.
    void stepDown();
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
