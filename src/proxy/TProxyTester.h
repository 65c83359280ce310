#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class TProxyTestWorker;

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
// TestUrl as an HTTP proxy request, and its result comes back on the user-interface thread through
// OnTestResult, one at a time. A proxy that passed is never tested again: it is reported at once as passed.
// A proxy handed over again while its test runs is not tested twice either: the running test's result
// answers every hand-over of it. Lives on the user-interface thread; all members are used there.
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

    // Starts the test of Host:Port; reports it at once when it passed before; joins the running test when
    // it is under test already.
    void TestProxy(int Index, const QString& Host, int Port);

    // While stopped, sleeping tests end without a report, running requests are cut, late results are dropped.
    bool Stopped() const;
    // Sets or clears the stop flag (TestProxy clears it too). Setting it ends every test under way for good:
    // their proxies leave Pending and are tested afresh when handed over again.
    void SetStopped(bool stopped);

    // Entries host:port of proxies under test or passed, in order of hand-over.
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
        quint64 run = 0;   // the run of the latest hand-over
        int handOvers = 0; // hand-overs of this proxy in that run that wait for the result
    };

    // Runs on the user-interface thread for each result a test delivers.
    void DoResult(quint64 ticket, bool success, const QString& response, const QString& host, int port,
                  quint32 elapsed);
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
    std::shared_ptr<TProxyTestWorker> m_worker;
};
