#include "proxy/TProxyTester.h"

#include "proxy/TProxyTestWorker.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>
#include <QRandomGenerator>

#include <exception>

Q_LOGGING_CATEGORY(lcProxyTrace, "veilport.proxy")

namespace {

// Start delays spread the requests when many proxies are handed over at once.
constexpr int kStartDelayRange = 10000;

QString keyOf(const QString& host, int port, TProxyKind kind)
{
    return ProxyAddressText(kind, host + QLatin1Char(':') + QString::number(port));
}

} // namespace

TRandomSource DefaultRandomSource()
{
    return [](int range) { return range > 0 ? int(QRandomGenerator::global()->bounded(range)) : 0; };
}

TProxyTester::TProxyTester(const QString& testUrl, TRandomSource random)
    : TestUrl(testUrl), m_random(random ? std::move(random) : DefaultRandomSource()),
      m_criteria(std::make_shared<const TProxyTestCriteria>())
{
    m_clock.start();
    m_worker = std::make_shared<TProxyTestWorker>(this, testUrl);
}

void TProxyTester::SetTunnelUrl(const QString& url)
{
    auto criteria = std::make_shared<TProxyTestCriteria>(*m_criteria);
    criteria->tunnelUrl = url;
    m_criteria = std::move(criteria);
}

void TProxyTester::SetLocalAddress(const QString& address)
{
    auto criteria = std::make_shared<TProxyTestCriteria>(*m_criteria);
    criteria->localAddress = address;
    m_criteria = std::move(criteria);
}

void TProxyTester::SetTimeoutMs(int ms)
{
    auto criteria = std::make_shared<TProxyTestCriteria>(*m_criteria);
    criteria->timeoutMs = ms;
    m_criteria = std::move(criteria);
}

void TProxyTester::SetFirstContactTimeoutMs(int ms)
{
    auto criteria = std::make_shared<TProxyTestCriteria>(*m_criteria);
    criteria->firstContactTimeoutMs = ms;
    m_criteria = std::move(criteria);
}

void TProxyTester::SetMaxRunning(int tests)
{
    m_worker->setMaxRunning(tests);
}

QString TProxyTester::TunnelUrl() const
{
    return m_criteria->tunnelUrl;
}

QString TProxyTester::LocalAddress() const
{
    return m_criteria->localAddress;
}

bool TProxyTester::PassVerdict(const QString& host, int port, ProxyJudgement& verdict, TProxyKind kind) const
{
    const auto it = m_byKey.constFind(keyOf(host, port, kind).toCaseFolded());
    if (it == m_byKey.cend())
        return false;
    const Entry& entry = m_entries[size_t(it.value())];
    if (entry.state != EntryState::Passed)
        return false;
    verdict = entry.judgement;
    return true;
}

void TProxyTester::Forget(const QString& host, int port, TProxyKind kind)
{
    Entry* entry = findEntry(keyOf(host, port, kind).toCaseFolded());
    if (entry && entry->state == EntryState::Passed) {
        dropEntry(*entry);
        compact();
    }
}

bool TProxyTester::passStale(const Entry& entry) const
{
    return m_passValidityMs <= 0 || m_clock.elapsed() - entry.passedAtMs > m_passValidityMs;
}

TProxyTester::~TProxyTester()
{
    m_worker->detach();
}

bool TProxyTester::Stopped() const
{
    return m_worker->stopped();
}

void TProxyTester::SetStopped(bool stopped)
{
    m_worker->setStopped(stopped);
    if (!stopped)
        return;
    // Every test under way is cut now, whether or not its thread has noticed yet: none of them will report,
    // so their proxies are not known to work and must not be answered as passed later.
    for (Entry& entry : m_entries) {
        if (entry.state == EntryState::Testing)
            dropEntry(entry);
    }
    compact();
}

int TProxyTester::ActiveTests() const
{
    return m_worker->activeTests();
}

int TProxyTester::LocalRefusals() const
{
    return m_worker->localRefusals();
}

const QStringList& TProxyTester::Pending() const
{
    if (m_pendingDirty) {
        m_pendingView.clear();
        m_pendingView.reserve(qsizetype(m_entries.size()) - m_gone);
        for (const Entry& entry : m_entries) {
            if (entry.state != EntryState::Gone)
                m_pendingView.append(entry.key);
        }
        m_pendingDirty = false;
    }
    return m_pendingView;
}

void TProxyTester::TestProxy(int Index, const QString& Host, int Port, TProxyKind Kind, bool SeenAlive)
{
    SetStopped(false);
    // The owner zeroes Total at the start of a run and raises it before each hand-over.
    if (Total == 1)
        ++m_run;
    const QString key = keyOf(Host, Port, Kind);
    const QString folded = key.toCaseFolded();
    if (Entry* entry = findEntry(folded)) {
        if (entry->state == EntryState::Testing) {
            // One test answers every hand-over of the proxy; its result goes out under the latest one.
            if (entry->run != m_run) {
                entry->run = m_run;
                entry->handOvers = 0;
            }
            ++entry->handOvers;
            entry->index = Index;
            entry->host = Host;
            entry->port = Port;
            return;
        }
        if (passStale(*entry)) {
            // A pass is a snapshot: public proxies die or change their ways within minutes.
            startTest(*entry, Index, Host, Port, Kind, true);
            return;
        }
        if (OnTestResult) {
            const int position = pendingPosition(*entry);
            ++Done;
            OnTestResult(true, position, Host, Host, Port, 0);
        }
        return;
    }

    Entry entry;
    entry.key = key;
    entry.folded = folded;
    m_byKey.insert(folded, qsizetype(m_entries.size()));
    m_entries.push_back(std::move(entry));
    m_pendingDirty = true;
    startTest(m_entries.back(), Index, Host, Port, Kind, SeenAlive);
}

void TProxyTester::startTest(Entry& entry, int index, const QString& host, int port, TProxyKind kind, bool seenAlive)
{
    entry.state = EntryState::Testing;
    entry.index = index;
    entry.host = host;
    entry.port = port;
    entry.run = m_run;
    entry.handOvers = 1;
    entry.judgement = ProxyJudgement();
    qCDebug(lcProxyTrace).noquote() << "[Testing] IP:" << entry.key;
    int delay = m_random(kStartDelayRange);
    delay = qBound(0, delay, kStartDelayRange - 1);
    entry.ticket = m_worker->enqueue(host, port, kind, delay, m_criteria, seenAlive);
}

void TProxyTester::DoResult(quint64 ticket, bool success, const QString& response, const QString& host, int port,
                            TProxyKind kind, quint32 elapsed, const ProxyJudgement& judgement)
{
    if (Stopped())
        return;
    Entry* entry = findEntry(keyOf(host, port, kind).toCaseFolded());
    // A test cut by a stop may still deliver when the run went on at once; the proxy has been handed over
    // afresh since (or not at all), so this result belongs to nobody.
    if (!entry || entry->state != EntryState::Testing || entry->ticket != ticket)
        return;
    const bool inThisRun = entry->run == m_run;
    const int answered = entry->handOvers;
    const int index = entry->index;
    const QString callerHost = entry->host;
    const int callerPort = entry->port;
    // Booked before the handler runs: it may hand proxies over or stop the run itself.
    if (success) {
        entry->state = EntryState::Passed; // trusted while the pass is fresh
        entry->passedAtMs = m_clock.elapsed();
        entry->judgement = judgement;
        qCDebug(lcProxyTrace).noquote() << "[Passed] IP:" << entry->key << AnonymityName(judgement.anonymity)
                                        << judgement.seenAddress;
    } else {
        qCDebug(lcProxyTrace).noquote() << "[Failed] IP:" << entry->key << judgement.reason;
        dropEntry(*entry); // tested again when handed over again
        compact();
    }
    // A test of an earlier run that nobody handed over again in this one counts for nothing here: its proxy
    // is not a candidate of this run, and counting it would run Done past Total.
    if (!inThisRun || !OnTestResult)
        return;
    Done += answered;
    try {
        OnTestResult(success, index, response, callerHost, callerPort, elapsed);
    } catch (const std::exception& error) {
        // The handler's error ends this one result; the tester carries on.
        qCWarning(lcProxyTrace).noquote() << "Test result handler failed:" << error.what();
    }
}

TProxyTester::Entry* TProxyTester::findEntry(const QString& folded)
{
    const auto it = m_byKey.constFind(folded);
    return it == m_byKey.cend() ? nullptr : &m_entries[size_t(it.value())];
}

int TProxyTester::pendingPosition(const Entry& entry) const
{
    int position = 0;
    for (const Entry& each : m_entries) {
        if (&each == &entry)
            break;
        if (each.state != EntryState::Gone)
            ++position;
    }
    return position;
}

void TProxyTester::dropEntry(Entry& entry)
{
    if (entry.state == EntryState::Gone)
        return;
    m_byKey.remove(entry.folded);
    entry.state = EntryState::Gone;
    ++m_gone;
    m_pendingDirty = true;
}

void TProxyTester::compact()
{
    // Renumbering costs the whole list, so it waits until half of it has gone.
    if (m_gone == 0 || m_gone * 2 < qsizetype(m_entries.size()))
        return;
    std::vector<Entry> kept;
    kept.reserve(m_entries.size() - size_t(m_gone));
    m_byKey.clear();
    for (Entry& entry : m_entries) {
        if (entry.state == EntryState::Gone)
            continue;
        m_byKey.insert(entry.folded, qsizetype(kept.size()));
        kept.push_back(std::move(entry));
    }
    m_entries = std::move(kept);
    m_gone = 0;
}
