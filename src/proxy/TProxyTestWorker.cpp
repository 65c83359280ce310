#include "proxy/TProxyTestWorker.h"

#include "proxy/ProxyTransferLoop.h"
#include "proxy/TProxyTester.h"
#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <thread>

TProxyTestWorker::TProxyTestWorker(TProxyTester* tester, const QString& url)
    : m_tester(tester), m_url(url), m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

TProxyTestWorker::~TProxyTestWorker()
{
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

quint64 TProxyTestWorker::enqueue(const QString& host, int port, TProxyKind kind, int delayMs,
                                  std::shared_ptr<const TProxyTestCriteria> criteria, bool seenAlive)
{
    Job job;
    job.host = host;
    job.port = port;
    job.kind = kind;
    job.criteria = std::move(criteria);
    job.seenAlive = seenAlive;
    job.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, delayMs));
    job.epoch = m_epoch.load();
    job.seq = m_seq++;
    m_active.fetch_add(1);
    const quint64 ticket = job.seq;
    m_staged.push_back(std::move(job));
    if (m_staged.size() > 1)
        return ticket; // the burst's first job has asked for the flush already
    // A burst of hand-overs reaches the thread in one piece once the caller is back in its event loop: one
    // lock and one wake-up for thousands of proxies, and no thread starting its requests on the other core
    // while the hand-over loop still runs. Their start delays count from now all the same.
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->thread() != QThread::currentThread()) {
        flush();
        return ticket;
    }
    QMetaObject::invokeMethod(
        app,
        [weak = weak_from_this()] {
            if (const auto self = weak.lock())
                self->flush();
        },
        Qt::QueuedConnection);
    return ticket;
}

void TProxyTestWorker::flush()
{
    if (m_staged.empty())
        return;
    std::vector<Job> jobs;
    jobs.swap(m_staged);
    if (m_detached.load()) {
        m_active.fetch_sub(int(jobs.size()));
        return;
    }
    // Jobs a stop has cut since their hand-over never need the thread.
    const auto keptEnd = std::remove_if(jobs.begin(), jobs.end(), [this](const Job& job) { return cut(job); });
    m_active.fetch_sub(int(jobs.end() - keptEnd));
    jobs.erase(keptEnd, jobs.end());
    if (jobs.empty())
        return;
    bool startThread = false;
    bool wakeThread = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // The thread takes the whole inbox at once, so only a burst that finds it empty needs to wake it.
        wakeThread = m_inbox.empty();
        if (m_inbox.empty())
            m_inbox.swap(jobs);
        else
            std::move(jobs.begin(), jobs.end(), std::back_inserter(m_inbox));
        if (!m_running) {
            m_running = true;
            startThread = true;
        }
    }
    if (!startThread && wakeThread)
        wake();
    if (startThread) {
        // The thread keeps the worker alive until it ends, so it never outlives what it uses.
        std::thread([self = shared_from_this()] { self->run(); }).detach();
    }
}

void TProxyTestWorker::setStopped(bool stopped)
{
    if (stopped)
        m_epoch.fetch_add(1);
    m_stopped.store(stopped);
    if (stopped)
        wake();
}

void TProxyTestWorker::detach()
{
    m_tester = nullptr;
    m_active.fetch_sub(int(m_staged.size()));
    m_staged.clear();
    m_detached.store(true);
    m_epoch.fetch_add(1);
    m_stopped.store(true);
    wake();
}

void TProxyTestWorker::wake()
{
    const quint64 one = 1;
    (void)!write(m_wakeFd, &one, sizeof(one));
}

void TProxyTestWorker::deliver(std::vector<Outcome>& outcomes)
{
    if (!QCoreApplication::instance() || outcomes.empty() || m_handOverBusy.load())
        return; // the results wait here until the hand-over in flight has been booked
    m_handOverBusy.store(true);
    auto self = shared_from_this();
    // One hand-over at a time and in order: the results travel together and are booked one by one on the
    // user-interface thread, the stop flag checked before each. The thread meanwhile serves its other
    // requests instead of waiting for a scheduling round trip per result.
    const bool posted = PostToMainThread([self, batch = std::move(outcomes)] {
        for (const Outcome& outcome : batch) {
            if (!self->m_tester)
                break;
            self->m_tester->DoResult(outcome.job.seq, outcome.success, outcome.response, outcome.job.host,
                                     outcome.job.port, outcome.job.kind, outcome.elapsed, outcome.judgement);
        }
        self->m_handOverBusy.store(false);
        self->wake();
    });
    if (!posted)
        m_handOverBusy.store(false); // the application is gone: nobody books results any more
    outcomes.clear();
}

void TProxyTestWorker::run()
{
    ProxyTransferLoop loop(m_url, m_wakeFd, m_epoch, m_active, m_maxRunning);
    quint64 seenEpoch = ~quint64(0); // purges once at the start, in case a stop came before the thread
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            loop.add(m_inbox);
            if (m_detached.load()) {
                // Nobody will ever receive these results: drop the sleepers and cut the requests.
                loop.dropAll();
                m_running = false;
                break;
            }
        }
        // Tests queued before the latest stop end without a report.
        const quint64 epoch = m_epoch.load();
        if (epoch != seenEpoch) {
            seenEpoch = epoch;
            loop.dropCut();
        }
        loop.startDue();
        loop.wait();
        loop.collectFinished();
        m_localRefusals.store(loop.localRefusals());
        // Results still waiting for their hand-over are dropped too when a stop came meanwhile.
        std::vector<Outcome>& finished = loop.results();
        finished.erase(std::remove_if(finished.begin(), finished.end(),
                                      [this](const Outcome& outcome) { return cut(outcome.job); }),
                       finished.end());
        deliver(finished);
    }
}
