#pragma once

#include <QString>
#include <QStringList>
#include <QHash>

#include <functional>
#include <memory>

class TProxyTestWorker;

// Called on the user-interface thread for each test result.
// Index is the caller's index (for an immediate report, the entry's position in Pending); Response is the
// body received through the proxy (for an immediate report, the host); Elapsed is in milliseconds, 0 for an
// immediate report and without meaning on failure.
using TTestResultEvent = std::function<void(bool Success, int Index, const QString& Response, const QString& Host,
                                            int Port, quint32 Elapsed)>;

// A source of pseudo-random numbers: returns a number drawn uniformly from 0 to range - 1.
using TRandomSource = std::function<int(int range)>;

// The default random source (thread-safe, seeded by the system).
TRandomSource DefaultRandomSource();

// Tests proxies in parallel: each proxy handed over waits a random start delay (0..9999 ms), is asked for
// TestUrl as an HTTP proxy request, and its result comes back on the user-interface thread through
// OnTestResult, one at a time. A proxy under test or already passed is never tested twice: it is reported
// at once as passed. Lives on the user-interface thread; all members are used there.
class TProxyTester
{
public:
    // The start delays are drawn from random (the default source when empty).
    explicit TProxyTester(const QString& testUrl, TRandomSource random = {});
    // Stops the run; requests still going are cut and their results never arrive.
    ~TProxyTester();
    TProxyTester(const TProxyTester&) = delete;
    TProxyTester& operator=(const TProxyTester&) = delete;

    // Starts the test of Host:Port, or reports it at once as passed when it is pending or passed already.
    void TestProxy(int Index, const QString& Host, int Port);

    // While stopped, sleeping tests end without a report, running requests are cut, late results are dropped.
    bool Stopped() const;
    // Sets or clears the stop flag (TestProxy clears it too).
    void SetStopped(bool stopped);

    // Entries host:port of proxies under test or passed, in order of hand-over.
    const QStringList& Pending() const { return m_pending; }
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
    // Runs on the user-interface thread for each result a test delivers.
    void DoResult(bool success, int index, const QString& response, const QString& host, int port, quint32 elapsed);
    void addPending(const QString& key);
    void removePending(const QString& key);

    TRandomSource m_random;
    QStringList m_pending;
    QHash<QString, int> m_pendingCount; // case-folded key -> occurrences in m_pending
    std::shared_ptr<TProxyTestWorker> m_worker;
};
