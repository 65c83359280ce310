#pragma once

#include "proxy/ProxyKind.h"
#include "proxy/ProxyTestJob.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class TProxyTester;

// The engine behind TProxyTester: one background thread that runs every proxy test of a tester at once on a
// libcurl multi handle, each after its own start delay, and hands each result to the user-interface thread,
// waiting until it has been booked there. Shared between the tester and its thread, so a thread that
// outlives its tester never reaches it: the tester detaches itself on destruction and the thread then cuts
// its requests and ends.
class TProxyTestWorker : public std::enable_shared_from_this<TProxyTestWorker>
{
public:
    // tester receives the results; it must call detach() before it is destroyed.
    TProxyTestWorker(TProxyTester* tester, const QString& url);
    ~TProxyTestWorker();

    // Queues the test of one proxy, starting after delayMs; returns the ticket its result carries. seenAlive:
    // the proxy passed before, so it gets the full time limit. Called on the user-interface thread.
    quint64 enqueue(const QString& host, int port, TProxyKind kind, int delayMs,
                    std::shared_ptr<const TProxyTestCriteria> criteria, bool seenAlive = false);
    // Caps the tests under way at once (<= 0: only the machine's own limits); any thread.
    void setMaxRunning(int tests) { m_maxRunning.store(tests); }
    // While stopped, due tests end unreported and open requests are cut. A stop ends every test queued before
    // it for good, even when the flag is cleared again before the thread has looked at it.
    void setStopped(bool stopped);
    bool stopped() const { return m_stopped.load(); }
    // Forgets the tester (user-interface thread); the thread then ends as soon as it has cut its requests.
    void detach();
    // Tests queued, sleeping or with a request open.
    int activeTests() const { return m_active.load(); }
    // Tests given back to the queue so far because the system refused them a socket or a buffer.
    int localRefusals() const { return m_localRefusals.load(); }

private:
    using Job = ProxyTestJob;
    using Outcome = ProxyTestOutcome;

    void run();
    // Whether a stop came after the job was queued.
    bool cut(const Job& job) const { return job.epoch != m_epoch.load(); }
    void wake();
    // Passes the jobs handed over since the last flush to the thread, starting it when needed.
    void flush();
    // Hands the results to the user-interface thread unless a hand-over is still being booked there (then
    // they stay in outcomes for the next call).
    void deliver(std::vector<Outcome>& outcomes);

    TProxyTester* m_tester; // read and written on the user-interface thread only
    const QString m_url;
    std::atomic_bool m_stopped{false};
    std::atomic<quint64> m_epoch{0}; // stops so far
    std::atomic_bool m_detached{false};
    std::atomic_int m_active{0};
    std::atomic_int m_maxRunning{0};
    std::atomic_int m_localRefusals{0};
    std::atomic_bool m_handOverBusy{false};
    const int m_wakeFd; // an eventfd that interrupts the thread's wait
    // User-interface thread only: jobs handed over and not yet passed to the thread, and the next ticket.
    std::vector<Job> m_staged;
    quint64 m_seq = 0;

    std::mutex m_lock; // guards the fields below
    std::vector<Job> m_inbox;
    bool m_running = false;
};
