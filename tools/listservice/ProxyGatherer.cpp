#include "ProxyGatherer.h"

#include "GeoIpDatabase.h"
#include "proxy/TProxyTester.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>
#include <optional>

#include <cstdio>

namespace {

// Checks in flight longer than the time limit and this much more have been lost; their proxies are
// scheduled again rather than held forever.
constexpr qint64 kLostCheckGraceMs = 30000;
// The time limit of a proxy that never passed a check here (at most CheckTimeout): most such proxies of a
// public list are dead, and each holds a place among the checks as long as its limit.
constexpr int kFirstContactTimeoutSec = 8;

} // namespace

ProxyGatherer::ProxyGatherer(ServiceConfig config, ServiceMetrics* metrics, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_metrics(metrics), m_store(m_config.maxProxies)
{
    m_clock.start();
    // A process id repeats across restarts and hosts; the random part keeps a restarted instance from taking
    // its former self's leases for its own.
    m_instanceId = QStringLiteral("%1-%2")
                       .arg(QCoreApplication::applicationPid())
                       .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
}

ProxyGatherer::~ProxyGatherer() = default;

qint64 ProxyGatherer::now()
{
    return QDateTime::currentSecsSinceEpoch();
}

bool ProxyGatherer::openDatabase(QString& error)
{
    if (m_config.database.isEmpty())
        return true;
    const bool opened = m_store.open(m_config.database, error);
    m_store.setInstance(m_instanceId);
    return opened;
}

void ProxyGatherer::start(const Target& target)
{
    m_target = target;
    m_tick.setInterval(500);
    connect(&m_tick, &QTimer::timeout, this, &ProxyGatherer::tick);
    m_tick.start();
    m_replace.setSingleShot(true);
    m_replace.setInterval(0);
    connect(&m_replace, &QTimer::timeout, this, &ProxyGatherer::replaceSome);
    if (m_store.isShared()) {
        std::fprintf(stderr, "veilport-listservice: instance %s checks its share of the shared database\n",
                     qPrintable(m_instanceId));
        startTester();
    }
    m_following = true;
    m_store.requestLead([this](bool lead) {
        m_following = false;
        m_lastFollow = m_clock.elapsed();
        if (lead)
            this->lead();
        else
            std::fprintf(stderr, "veilport-listservice: another instance gathers for the shared database\n");
    });
}

void ProxyGatherer::startTester()
{
    // Every proxy starts its check at once: the spread comes from the schedule, not from random delays.
    m_tester = std::make_unique<TProxyTester>(m_target.testUrl, [](int) { return 0; });
    m_tester->SetTunnelUrl(m_target.tunnelUrl);
    m_tester->SetLocalAddress(m_target.checkerAddress);
    m_tester->SetTimeoutMs(m_config.checkTimeoutSec * 1000);
    m_tester->SetFirstContactTimeoutMs(std::min(m_config.checkTimeoutSec, kFirstContactTimeoutSec) * 1000);
    m_tester->SetPassValidityMs(0); // the schedule decides when a proxy is asked again
    m_tester->OnTestResult = [this](bool success, int index, const QString& response, const QString& host, int port,
                                    quint32 elapsed) { onResult(success, index, response, host, port, elapsed); };
}

void ProxyGatherer::lead()
{
    m_leading = true;
    if (m_store.isShared())
        std::fprintf(stderr, "veilport-listservice: this instance gathers the sources for the shared database\n");
    else
        startTester();

    // Per source at most as many entries as the whole store may hold.
    m_fetcher = std::make_unique<SourceFetcher>(m_config.sources, m_config.maxProxies, m_config.allowPrivateAddresses);
    connect(m_fetcher.get(), &SourceFetcher::sourceFetched, this, &ProxyGatherer::onFetched);
    connect(m_fetcher.get(), &SourceFetcher::sourceFailed, this, &ProxyGatherer::onFailed);
    m_fetcher->start();
}

void ProxyGatherer::stepDown()
{
    std::fprintf(stderr, "veilport-listservice: another instance gathers for the shared database now\n");
    m_leading = false;
    if (!m_store.isShared()) {
        m_tester.reset(); // cuts the checks under way; their results never arrive
        m_inFlight.clear();
    }
    m_fetcher.reset();
    m_replace.stop();
    m_store.cancelReplacements();
    m_replacing.clear();
}

bool ProxyGatherer::trustedSource(const QString& name) const
{
    return std::any_of(m_config.sources.cbegin(), m_config.sources.cend(),
                       [&](const SourceSetting& s) { return s.trusted && s.name == name; });
}

void ProxyGatherer::onFetched(int index, const SourceParseResult& result, int refused)
{
    const SourceSetting& setting = m_fetcher->sources()[index];
    ++m_metrics->sourceFetches;
    m_metrics->refusedEntries += quint64(refused);
    m_sourceErrors.remove(setting.name);
    if (result.cut) {
        // Quietly keeping the first part of a list would look like a list that is whole.
        const QString text = QStringLiteral("names more proxies than the %1 kept (MaxProxies); the rest is ignored")
                                 .arg(result.entries.size());
        std::fprintf(stderr, "veilport-listservice: source %s %s\n", qPrintable(setting.name), qPrintable(text));
        m_sourceWarnings.insert(setting.name, text);
    } else {
        m_sourceWarnings.remove(setting.name);
    }
    m_store.queueReplacement(setting.name, result.entries, now());
    m_store.noteSourceFetch(setting.name, setting.location, true, QString(), int(result.entries.size()), now());
    m_replacing.insert(setting.name, {result.entries.size(), result.duplicates, result.rejected, refused});
    m_replace.start();
}

void ProxyGatherer::replaceSome()
{
    const QList<ProxyStore::Replaced> finished = m_store.replaceSome(kReplaceSliceMs);
    for (const ProxyStore::Replaced& done : finished) {
        const ListCounts counts = m_replacing.take(done.source);
        const QString refusedText =
            counts.refused == 0 ? QString()
                                : QStringLiteral("; %1 refused, naming no global address (see AllowPrivateAddresses)")
                                      .arg(counts.refused);
        std::fprintf(stderr, "veilport-listservice: source %s: %lld proxies (%d new, %d duplicates, %d rejected%s)\n",
                     qPrintable(done.source), qlonglong(counts.entries), done.added, counts.duplicates, counts.rejected,
                     qPrintable(refusedText));
    }
    if (m_store.replacing())
        m_replace.start();
    if (!finished.isEmpty())
        tick(); // the new proxies are due at once
}

void ProxyGatherer::onFailed(int index, const QString& error)
{
    const SourceSetting& setting = m_fetcher->sources()[index];
    ++m_metrics->sourceFetches;
    ++m_metrics->sourceErrors;
    m_sourceErrors.insert(setting.name, error);
    m_store.noteSourceFetch(setting.name, setting.location, false, error, 0, now());
    // The proxies it gave before stay: a source that is down for a while loses none of them.
    std::fprintf(stderr, "veilport-listservice: source %s (%s): %s; keeping its last good list\n",
                 qPrintable(setting.name), qPrintable(setting.location), qPrintable(error));
}

void ProxyGatherer::tick()
{
    // The store's writer connects again by itself after a shared database server went away; if another
    // instance took the lock meanwhile, that one gathers now.
    if (m_leading && m_store.takeLostLead())
        stepDown();
    if (m_store.isShared()) {
        follow();
        checkLeased();
    } else if (m_leading) {
        checkLocal();
    }
    if (m_leading && now() - m_lastPrune > 3600) {
        m_lastPrune = now();
        m_store.pruneHistory(now() - qint64(m_config.historyDays) * 86400);
    }
}

void ProxyGatherer::follow()
{
    // The other instances' results reach memory by reading the database again; whoever does not gather asks
    // for the lock first, and takes over once its holder is gone. Asked on the store's own thread.
    if (m_following || m_clock.elapsed() - m_lastFollow < kFollowIntervalMs)
        return;
    m_following = true;
    auto reload = [this] {
        m_store.requestReload([this] {
            m_following = false;
            m_lastFollow = m_clock.elapsed();
        });
    };
    if (m_leading) {
        reload();
        return;
    }
    m_store.requestLead([this, reload](bool lead) {
        if (!lead) {
            reload();
            return;
        }
        m_following = false;
        m_lastFollow = m_clock.elapsed();
        this->lead();
    });
}

void ProxyGatherer::checkLeased()
{
    const qint64 nowMs = m_clock.elapsed();
    // A check overdue this long no longer holds a place among the checks at once; its lease ran out in the
    // database long before, so another instance may have checked the proxy already. Its result, should it
    // still come, is offered to the database all the same, until it is given up for good.
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (nowMs - it.value() > leaseMs() + kLostCheckGraceMs)
            it = m_inFlight.erase(it);
        else
            ++it;
    }
    for (auto it = m_leases.begin(); it != m_leases.end();) {
        if (nowMs - it->startMs > 10 * (leaseMs() + kLostCheckGraceMs))
            it = m_leases.erase(it);
        else
            ++it;
    }
    const int room = m_config.checkConcurrency - int(m_inFlight.size());
    // Asking for a handful at a time would cost a round trip to the database per handful.
    if (m_leasing || !m_tester || room < std::max(1, m_config.checkConcurrency / 8))
        return;
    m_leasing = true;
    m_store.requestLeases(room, now(), leaseMs(), [this](const QList<CheckLease>& leases) {
        m_leasing = false;
        const qint64 startMs = m_clock.elapsed();
        // Leases that ran out before their answer came (this instance froze meanwhile) may be another
        // instance's by now: not checked, they are taken again once due.
        const qint64 wallMs = QDateTime::currentMSecsSinceEpoch();
        for (const CheckLease& lease : leases) {
            if (!m_tester || m_leases.contains(lease.id) || lease.id > INT_MAX || lease.until <= wallMs)
                continue;
            m_inFlight.insert(lease.id, startMs);
            m_leases.insert(lease.id, {lease, startMs});
            m_tester->TestProxy(int(lease.id), lease.host, lease.port, lease.kind, lease.lastOk > 0);
        }
    });
}

void ProxyGatherer::checkLocal()
{
    const qint64 nowMs = m_clock.elapsed();
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (nowMs - it.value() > qint64(m_config.checkTimeoutSec) * 1000 + kLostCheckGraceMs)
            it = m_inFlight.erase(it);
        else
            ++it;
    }
    startDueChecks();
}

void ProxyGatherer::startDueChecks()
{
    const int room = m_config.checkConcurrency - int(m_inFlight.size());
    if (room <= 0)
        return;
    const qint64 nowMs = m_clock.elapsed();
    for (qint64 id : m_store.due(now(), room + int(m_inFlight.size()))) {
        if (int(m_inFlight.size()) >= m_config.checkConcurrency)
            break;
        if (m_inFlight.contains(id) || id > INT_MAX)
            continue;
        const StoredProxy* p = m_store.find(id);
        m_inFlight.insert(id, nowMs);
        m_tester->TestProxy(int(id), p->entry.host, p->entry.port, p->entry.kind, p->lastOk > 0);
    }
}

void ProxyGatherer::onResult(bool success, int index, const QString& response, const QString& host, int port,
                             quint32 elapsed)
{
    const qint64 id = index;
    const bool leased = m_store.isShared();
    if (!m_inFlight.remove(id) && !leased)
        return; // given up as lost already
    if (leased && !m_leases.contains(id))
        return; // given up for good
    const CheckLease lease = leased ? m_leases.take(id).lease : CheckLease();
    const StoredProxy* stored = m_store.find(id);
    const TProxyKind kind = leased ? lease.kind : stored ? stored->entry.kind : TProxyKind::Http;
    std::optional<std::pair<QString, GeoPlace>> exit;
    CheckRecord check;
    check.at = now();
    check.ok = success;
    check.latencyMs = success ? int(elapsed) : 0;
    if (success) {
        ProxyJudgement verdict;
        if (m_tester->PassVerdict(host, port, verdict, kind)) {
            check.anonymity = AnonymityName(verdict.anonymity);
            // The address the service saw is where the proxy's users appear to be, whatever its own host.
            const QString exitAddress = verdict.seenAddress.isEmpty() ? host : verdict.seenAddress;
            GeoPlace place;
            if (m_geo)
                m_geo->lookup(exitAddress, place);
            exit.emplace(exitAddress, place);
        }
    } else {
        check.reason = response.left(300);
    }
    m_metrics->noteCheck(success);
    if (leased) {
        m_store.recordLeasedCheck(lease, check, m_config.maxFailures, m_config.checkIntervalSec, m_instanceId,
                                  exit ? &*exit : nullptr);
    } else {
        if (exit)
            m_store.setExit(id, exit->first, exit->second);
        m_store.recordCheck(id, check, m_config.maxFailures, m_config.checkIntervalSec);
    }
    if (!m_store.find(id))
        m_tester->Forget(host, port, kind); // dropped: the tester need not remember it either
    emit checked(id, success);
    // Dead proxies fail within a millisecond: waiting for the next tick to fill their places would
    // check a fresh list of a hundred thousand at a hundred or so a second. Refilled in groups, not one
    // by one, so the schedule is walked once per many results.
    // Instances sharing a database take their next checks under leases, never from memory.
    if (m_tester && int(m_inFlight.size()) <= m_config.checkConcurrency / 2) {
        if (leased)
            checkLeased();
        else if (m_leading)
            startDueChecks();
    }
}
