#include "ProxyStore.h"

#include <QSet>
#include <QUrl>

#include <algorithm>

ProxyStore::ProxyStore(int maxProxies) : m_maxProxies(maxProxies) {}

ProxyStore::~ProxyStore()
{
    if (!m_writer)
        return;
    // Queued behind whatever the writer still has to do, so every answer it posts lands before the context goes.
    QMetaObject::invokeMethod(
        m_writer, [writer = m_writer] { writer->close(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_writer;
}

bool ProxyStore::open(const QString& location, QString& error)
{
    const QString scheme = QUrl(location).scheme();
    m_postgres = scheme == QLatin1String("postgresql") || scheme == QLatin1String("postgres");
    m_usesDatabase = true;
    m_context = std::make_unique<QObject>();
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("store-writer"));
    m_writer = new StoreWriter(m_maxProxies);
    m_writer->moveToThread(m_thread.get());
    m_thread->start();
    StoreWriter::Opened opened = StoreWriter::Opened::Failed;
    StoreContents contents;
    QMetaObject::invokeMethod(
        m_writer, [&] { opened = m_writer->open(location, error, contents); }, Qt::BlockingQueuedConnection);
    adopt(std::move(contents));
    if (opened == StoreWriter::Opened::Failed) {
        // Nothing will make this database usable: the store goes on in memory alone.
        m_openError = error;
        QMetaObject::invokeMethod(
            m_writer, [writer = m_writer] { writer->close(); }, Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
        delete m_writer;
        m_writer = nullptr;
        m_thread.reset();
    }
    return opened == StoreWriter::Opened::Ok;
}

void ProxyStore::adopt(StoreContents&& contents)
{
    m_replacements.clear(); // made against what memory held before
    m_proxies.swap(contents.proxies);
    m_byKey.swap(contents.byKey);
    m_nextId = std::max(m_nextId, contents.nextId);
    m_ranking.reset();
    m_scheduleValid = false;
    m_schedule.clear();
    if (m_writer && !contents.proxies.empty()) {
        // Freeing a hundred thousand proxies takes a while: the writer's thread does it.
        auto old = std::make_shared<StoreContents>(std::move(contents));
        QMetaObject::invokeMethod(
            m_writer, [old] {}, Qt::QueuedConnection);
    }
}

void ProxyStore::requestLead(std::function<void(bool)> answer)
{
    if (!m_postgres) {
        answer(true); // one file, one service
        return;
    }
    if (!m_writer) {
        answer(false);
        return;
    }
    QMetaObject::invokeMethod(
        m_writer,
        [this, writer = m_writer, context = m_context.get(), answer = std::move(answer)] {
            auto contents = std::make_shared<StoreContents>();
            bool loaded = false;
            const bool lead = writer->tryLead(*contents, loaded);
            QMetaObject::invokeMethod(
                context,
                [this, lead, loaded, contents, answer] {
                    if (loaded)
                        adopt(std::move(*contents));
                    answer(lead);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ProxyStore::requestReload(std::function<void()> done)
{
    if (!m_writer) {
        done(); // what is in memory is all there is
        return;
    }
    QMetaObject::invokeMethod(
        m_writer,
        [this, writer = m_writer, context = m_context.get(), done = std::move(done)] {
            auto contents = std::make_shared<StoreContents>();
            // Half a reload is worse than the last whole one: a failed read changes nothing.
            const bool loaded = writer->reload(*contents);
            QMetaObject::invokeMethod(
                context,
                [this, loaded, contents, done] {
                    // A list being taken in meanwhile is made against memory as it is; the next reload comes.
                    if (loaded && !replacing())
                        adopt(std::move(*contents));
                    done();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

bool ProxyStore::takeLostLead()
{
    return m_writer && m_writer->takeLostLead();
}

void ProxyStore::setInstance(const QString& id)
{
    if (m_writer)
        QMetaObject::invokeMethod(
            m_writer, [writer = m_writer, id] { writer->setInstance(id); }, Qt::QueuedConnection);
}

void ProxyStore::requestLeases(int max, qint64 now, qint64 leaseMs, std::function<void(QList<CheckLease>)> answer)
{
    if (!m_postgres || !m_writer) {
        answer({});
        return;
    }
    QMetaObject::invokeMethod(
        m_writer,
        [writer = m_writer, context = m_context.get(), max, now, leaseMs, answer = std::move(answer)] {
            QList<CheckLease> leases = writer->lease(max, now, leaseMs);
            QMetaObject::invokeMethod(
                context, [leases = std::move(leases), answer] { answer(leases); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

qint64 ProxyStore::droppedResults() const
{
    return m_writer ? m_writer->status().resultsDropped : 0;
}

qint64 ProxyStore::sharedChecksLastMinute() const
{
    return m_writer && m_postgres ? m_writer->status().checksLastMinute : -1;
}

int ProxyStore::sharedCheckers() const
{
    return m_writer && m_postgres ? m_writer->status().checkersLastMinute : 0;
}

QString ProxyStore::databaseError() const
{
    return m_writer ? m_writer->status().error : m_openError;
}

int ProxyStore::databaseErrors() const
{
    return m_writer ? m_writer->status().errors : m_openError.isEmpty() ? 0 : 1;
}

qint64 ProxyStore::unwrittenChanges() const
{
    return m_writer ? m_writer->status().waiting : 0;
}

QString ProxyStore::databaseDelay() const
{
    if (!m_writer)
        return QString();
    const StoreWriter::Status s = m_writer->status();
    const qint64 busyMs = s.batchStartedMs == 0 ? 0 : StoreWriter::steadyMs() - s.batchStartedMs;
    if (busyMs >= StoreWriter::kSlowBatchMs)
        return QStringLiteral("writing %1 changes for %2 s").arg(s.batchChanges).arg(double(busyMs) / 1000, 0, 'f', 1);
    if (s.lastBatchMs >= StoreWriter::kSlowBatchMs)
        return QStringLiteral("the last %1 changes took %2 s")
            .arg(s.lastBatchChanges)
            .arg(double(s.lastBatchMs) / 1000, 0, 'f', 1);
    return QString();
}

void ProxyStore::write(StoreChange::Any change)
{
    if (!m_writer)
        return;
    std::vector<StoreChange::Any> one;
    one.push_back(std::move(change));
    m_writer->enqueue(std::move(one));
}

void ProxyStore::forget(std::map<qint64, StoredProxy>::iterator it)
{
    m_byKey.remove(it->second.entry.key());
    m_schedule.erase({it->second.nextCheck, it->first});
    m_ranking.forget(&it->second); // the ranking may point at it
    m_proxies.erase(it);
}

int ProxyStore::replaceSource(const QString& source, const QList<SourceEntry>& entries, qint64 now)
{
    queueReplacement(source, entries, now);
    int added = 0;
    while (replacing()) {
        for (const Replaced& done : replaceSome(1000)) {
            if (done.source == source)
                added = done.added;
        }
    }
    return added;
}

void ProxyStore::queueReplacement(const QString& source, const QList<SourceEntry>& entries, qint64 now)
{
    Replacement r;
    r.source = source;
    r.entries = entries;
    r.now = now;
    r.named.reserve(entries.size());
    r.keys.reserve(entries.size());
    m_replacements.push_back(std::move(r));
}

QList<ProxyStore::Replaced> ProxyStore::replaceSome(qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    QList<Replaced> done;
    while (!m_replacements.empty() && clock.elapsed() < budgetMs) {
        Replacement& r = m_replacements.front();
        if (!replaceSlice(r, clock, budgetMs))
            break;
        done.append({r.source, r.added});
        m_replacements.pop_front();
    }
    return done;
}

bool ProxyStore::replaceSlice(Replacement& r, const QElapsedTimer& clock, qint64 budgetMs)
{
    using Step = Replacement::Step;
    // The clock is read every so many proxies; reading it costs more than taking one in.
    constexpr int kStride = 64;
    int sinceLook = 0;
    auto timeLeft = [&] {
        if (++sinceLook < kStride)
            return true;
        sinceLook = 0;
        return clock.elapsed() < budgetMs;
    };
    std::vector<StoreChange::Any> changes;
    if (r.step == Step::Key) {
        for (; r.next < r.entries.size() && timeLeft(); ++r.next) {
            r.keys.append(r.entries.at(r.next).key());
            r.named.insert(r.keys.last());
        }
        if (r.next == r.entries.size()) {
            r.step = Step::Sweep;
            r.next = 0;
        }
    }
    if (r.step == Step::Sweep) {
        auto it = m_proxies.lower_bound(r.sweepFrom);
        while (it != m_proxies.end() && timeLeft()) {
            if (it->second.source == r.source && !r.named.contains(it->second.entry.key())) {
                if (m_writer)
                    changes.push_back(StoreChange::DropProxy{it->first});
                forget(it++);
            } else
                ++it;
        }
        if (it == m_proxies.end()) {
            r.step = Step::Add;
            r.named.clear();
        } else
            r.sweepFrom = it->first;
    }
    if (r.step == Step::Add) {
        for (; r.next < r.entries.size() && timeLeft(); ++r.next) {
            const SourceEntry& e = r.entries.at(r.next);
            const QString& key = r.keys.at(r.next);
            const auto known = m_byKey.constFind(key);
            if (known != m_byKey.cend()) {
                // The source's own account of the place wins over an earlier one of the same source.
                StoredProxy& p = m_proxies.at(known.value());
                if (p.source == r.source &&
                    (p.entry.country != e.country || p.entry.info != e.info || p.entry.longitude != e.longitude ||
                     p.entry.latitude != e.latitude || p.entry.flagUrl != e.flagUrl || p.entry.kind != e.kind)) {
                    p.entry = e;
                    if (m_writer)
                        changes.push_back(StoreChange::SetPlace{p.id, e});
                }
                continue;
            }
            if (int(m_proxies.size()) >= m_maxProxies) {
                r.next = r.entries.size();
                break;
            }
            StoredProxy p;
            p.id = m_nextId++;
            p.entry = e;
            p.source = r.source;
            p.added = r.now;
            p.nextCheck = r.now;
            if (m_scheduleValid)
                m_schedule.emplace(p.nextCheck, p.id);
            if (m_writer)
                changes.push_back(StoreChange::AddProxy{p});
            m_byKey.insert(key, p.id);
            m_proxies.emplace(p.id, std::move(p));
            ++r.added;
        }
    }
    if (m_writer)
        m_writer->enqueue(std::move(changes));
    return r.step == Step::Add && r.next == r.entries.size();
}

void ProxyStore::noteSourceFetch(const QString& source, const QString& location, bool ok, const QString& error,
                                 int count, qint64 now)
{
    write(StoreChange::NoteSource{source, location, ok, error, count, now});
}

void ProxyStore::recordCheck(qint64 id, const CheckRecord& check, int maxFailures, qint64 intervalSec)
{
    const auto it = m_proxies.find(id);
    if (it == m_proxies.end())
        return; // its source dropped it while it was checked
    StoredProxy& p = it->second;
    if (m_scheduleValid)
        m_schedule.erase({p.nextCheck, id});
    p.recent.push_back(check);
    while (int(p.recent.size()) > StoredProxy::kRecentChecks)
        p.recent.pop_front();
    advance(p, check, intervalSec);
    if (p.failuresInRow >= maxFailures) {
        write(StoreChange::DropProxy{id});
        forget(it);
        return;
    }
    if (m_scheduleValid)
        m_schedule.emplace(p.nextCheck, id);
    if (m_writer) {
        std::vector<StoreChange::Any> changes;
        changes.push_back(StoreChange::AddCheck{id, check});
        changes.push_back(StoreChange::SetState{id, p.nextCheck, p.failuresInRow, p.lastOk, p.anonymity});
        m_writer->enqueue(std::move(changes));
    }
}

void ProxyStore::advance(StoredProxy& p, const CheckRecord& check, qint64 intervalSec)
{
    if (check.ok) {
        p.failuresInRow = 0;
        p.lastOk = check.at;
        p.anonymity = check.anonymity;
        p.nextCheck = check.at + intervalSec;
    } else {
        ++p.failuresInRow;
        // Dead proxies cost a check each; the longer one stays dead the less often it is asked.
        p.nextCheck = check.at + intervalSec * (qint64(1) << std::min(p.failuresInRow - 1, 10));
    }
}

void ProxyStore::recordLeasedCheck(const CheckLease& lease, const CheckRecord& check, int maxFailures,
                                   qint64 intervalSec, const QString& instance,
                                   const std::pair<QString, GeoPlace>* exit)
{
    // The database's state when the lease was taken is the one to go on from: this instance's memory may not
    // have seen the checks other instances made since its last reload.
    StoredProxy next;
    next.failuresInRow = lease.failuresInRow;
    next.lastOk = lease.lastOk;
    next.anonymity = lease.anonymity;
    advance(next, check, intervalSec);
    StoreChange::LeasedResult result;
    result.lease = lease;
    result.instance = instance;
    result.check = check;
    result.nextCheck = next.nextCheck;
    result.failuresInRow = next.failuresInRow;
    result.lastOk = next.lastOk;
    result.anonymity = next.anonymity;
    result.drop = next.failuresInRow >= maxFailures;
    if (exit) {
        result.hasExit = true;
        result.exitAddress = exit->first;
        result.exitPlace = exit->second;
    }
    write(std::move(result));

    const auto it = m_proxies.find(lease.id);
    if (it == m_proxies.end())
        return; // added since this instance last read the database: the next reload brings it
    if (next.failuresInRow >= maxFailures) {
        forget(it);
        return;
    }
    StoredProxy& p = it->second;
    if (m_scheduleValid)
        m_schedule.erase({p.nextCheck, p.id});
    p.recent.push_back(check);
    while (int(p.recent.size()) > StoredProxy::kRecentChecks)
        p.recent.pop_front();
    p.failuresInRow = next.failuresInRow;
    p.lastOk = next.lastOk;
    p.anonymity = next.anonymity;
    p.nextCheck = next.nextCheck;
    if (exit) {
        p.exitAddress = exit->first;
        p.exitPlace = exit->second;
    }
    if (m_scheduleValid)
        m_schedule.emplace(p.nextCheck, p.id);
}

void ProxyStore::setExit(qint64 id, const QString& address, const GeoPlace& place)
{
    const auto it = m_proxies.find(id);
    if (it == m_proxies.end())
        return;
    StoredProxy& p = it->second;
    if (p.exitAddress == address && p.exitPlace.country == place.country && p.exitPlace.latitude == place.latitude &&
        p.exitPlace.longitude == place.longitude)
        return;
    p.exitAddress = address;
    p.exitPlace = place;
    write(StoreChange::SetExit{id, address, place});
}

QList<qint64> ProxyStore::due(qint64 now, int max) const
{
    // Built once and kept up as proxies come, go and are checked: asked twice a second, a scan of every
    // proxy would cost the answering thread more than anything else it does.
    if (!m_scheduleValid) {
        m_schedule.clear();
        for (const auto& [id, p] : m_proxies)
            m_schedule.emplace(p.nextCheck, id);
        m_scheduleValid = true;
    }
    QList<qint64> out;
    for (auto it = m_schedule.cbegin(); it != m_schedule.cend() && it->first <= now && out.size() < max; ++it)
        out.append(it->second);
    return out;
}

const StoredProxy* ProxyStore::find(qint64 id) const
{
    const auto it = m_proxies.find(id);
    return it == m_proxies.end() ? nullptr : &it->second;
}

QList<const StoredProxy*> ProxyStore::best(qint64 since, int perCountry, const QString& fallbackCountry) const
{
    // Ranking thousands of proxies for every caller would make the list the slowest answer; the order
    // may be a second or two old, but whether a proxy passes is read afresh below.
    QHash<QString, int> perCountryCount;
    QList<const StoredProxy*> out;
    for (const StoredProxy* p : m_ranking.order(m_proxies, kRankRefreshMs)) {
        if (m_ranking.gone(p) || p->lastOk < since || p->failuresInRow != 0)
            continue;
        int& n = perCountryCount[p->country(fallbackCountry)];
        if (n < perCountry) {
            ++n;
            out.append(p);
        }
    }
    return out;
}

void ProxyStore::pruneHistory(qint64 before)
{
    write(StoreChange::PruneChecks{before});
}
