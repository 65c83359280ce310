#pragma once

#include "proxy/ProxyJudgement.h"
#include "proxy/ProxyKind.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class TProxyTestWorker;
struct TProxyTestCriteria;

// Called on the user-interface thread for each test result.
// Index is the caller's index (the latest hand-over's when a proxy was handed over again while under test;
// for an immediate report, the entry's position in Pending); Response is the body received through the proxy
// (for an immediate report, the host); Elapsed is in milliseconds, 0 for an immediate report and without
// meaning on failure.
using TTestResultEvent = std::function<void(bool Success, int Index, const QString& Response, const QString& Host,
                                            int Port, quint32 Elapsed)>;

// A source of pseudo-random numbers: returns a number drawn uniformly from 0 to range - 1.
using TRandomSource = std::function<int(int range)>;

// The default random source (thread-safe, seeded by the system).
TRandomSource DefaultRandomSource();

// Tests proxies in parallel: each proxy handed over waits a random start delay (0..9999 ms), is asked for
// TestUrl (as an HTTP proxy request, or over a SOCKS5 connection) and, when a tunnel address is set, for that
// https address through a tunnel (CONNECT, or the SOCKS5 connection itself); the service's account of each request must
// not show the user's own address, and the whole test must end within its time limit. Its result comes back on the
// user-interface thread through OnTestResult, one at a time. A proxy that passed is not tested again while its pass is
// fresh: it is reported at once as passed. A proxy handed over again while its test runs is not tested twice either:
// the running test's result answers every hand-over of it. Lives on the user-interface thread; all members are used
// there.
//
// A test run, as the owner drives it: Done and Total set to 0, then for each proxy Total raised by one
// before TestProxy. The tester takes Total == 1 at a hand-over as the start of a new run.
class TProxyTester
{
public:
    // The start delays are drawn from random (the default source when empty).
    explicit TProxyTester(const QString& testUrl, TRandomSource random = {});
    // Stops the run; requests still going are cut and their results never arrive.
    ~TProxyTester();
    TProxyTester(const TProxyTester&) = delete;
    TProxyTester& operator=(const TProxyTester&) = delete;

    // Starts the test of Host:Port, a proxy of the given kind (an HTTP proxy and a SOCKS5 one at the same
    // address are two proxies); reports it at once when it passed before; joins the running test when it is
    // under test already. SeenAlive: the caller knows the proxy worked before, so it gets the full time limit
    // rather than the first-contact one (a proxy that passed here before always does).
    void TestProxy(int Index, const QString& Host, int Port, TProxyKind Kind = TProxyKind::Http,
                   bool SeenAlive = false);

    // While stopped, sleeping tests end without a report, running requests are cut, late results are dropped.
    bool Stopped() const;
    // Sets or clears the stop flag (TestProxy clears it too). Setting it ends every test under way for good:
    // their proxies leave Pending and are tested afresh when handed over again.
    void SetStopped(bool stopped);

    // Entries host:port (socks5://host:port for SOCKS5) of proxies under test or passed, in order of hand-over.
    const QStringList& Pending() const;
    // The URL fetched through each proxy.
    const QString TestUrl;
    // Receives every result; assigned by the owner.
    TTestResultEvent OnTestResult;
    // Proxies handed over in the current run (kept by the owner) and results reported in it.
    int Total = 0;
    int Done = 0;

    // Tests that are sleeping or have a request open right now (for diagnostics and tests).
    int ActiveTests() const;
    // Tests that went back to the queue because this machine refused them a socket (for diagnostics and tests).
    int LocalRefusals() const;

    // What a proxy must show, for the tests handed over from now on.
    void SetTunnelUrl(const QString& url);
    void SetLocalAddress(const QString& address);
    void SetTimeoutMs(int ms);
    // The time limit of a proxy never seen alive (<= 0: the same as SetTimeoutMs's).
    void SetFirstContactTimeoutMs(int ms);
    // Caps the tests under way at once (<= 0: as many as the machine holds); tests beyond it wait for a place,
    // and their time limits start only when they get one.
    void SetMaxRunning(int tests);
    // A pass older than this is tested again when the proxy is handed over (<= 0: always tested again).
    void SetPassValidityMs(qint64 ms) { m_passValidityMs = ms; }
    QString TunnelUrl() const;
    QString LocalAddress() const;

    // The verdict of the last pass of host:port while it stands; false when it has none.
    bool PassVerdict(const QString& host, int port, ProxyJudgement& verdict, TProxyKind kind = TProxyKind::Http) const;
    // Forgets the pass of host:port (found dead since): it is tested afresh when handed over again.
    void Forget(const QString& host, int port, TProxyKind kind = TProxyKind::Http);

private:
    friend class TProxyTestWorker;

    enum class EntryState
    {
        Testing,
        Passed,
        Gone
    };
    // One proxy of Pending.
    struct Entry
    {
        QString key;    // host:port as first handed over
        QString folded; // the key without letter case
        EntryState state = EntryState::Testing;
        quint64 ticket = 0; // the test under way (Testing only)
        // The latest hand-over while under test: its index and texts go with the result.
        int index = 0;
        QString host;
        int port = 0;
        quint64 run = 0;          // the run of the latest hand-over
        int handOvers = 0;        // hand-overs of this proxy in that run that wait for the result
        qint64 passedAtMs = 0;    // on the tester's clock (Passed only)
        ProxyJudgement judgement; // of the pass (Passed only)
    };

    // Runs on the user-interface thread for each result a test delivers.
    void DoResult(quint64 ticket, bool success, const QString& response, const QString& host, int port, TProxyKind kind,
                  quint32 elapsed, const ProxyJudgement& judgement);
    // Hands the entry's proxy to the worker for a test of its own.
    void startTest(Entry& entry, int index, const QString& host, int port, TProxyKind kind, bool seenAlive);
    bool passStale(const Entry& entry) const;
    Entry* findEntry(const QString& folded);
    // Position among the entries still in Pending.
    int pendingPosition(const Entry& entry) const;
    void dropEntry(Entry& entry);
    // Removes entries that left Pending once they are many, renumbering the lookup.
    void compact();

    TRandomSource m_random;
    std::vector<Entry> m_entries;      // in order of hand-over, Gone ones until the next compaction
    QHash<QString, qsizetype> m_byKey; // folded key -> its entry, for entries in Pending only
    qsizetype m_gone = 0;              // Gone entries in m_entries
    quint64 m_run = 0;
    mutable QStringList m_pendingView; // Pending as a list, rebuilt when asked after a change
    mutable bool m_pendingDirty = false;
    std::shared_ptr<const TProxyTestCriteria> m_criteria;
    qint64 m_passValidityMs = 300000;
    QElapsedTimer m_clock;
    std::shared_ptr<TProxyTestWorker> m_worker;
};
