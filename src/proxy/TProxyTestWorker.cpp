#include "proxy/TProxyTestWorker.h"

#include "net/CurlGlobal.h"
#include "net/HttpClient.h"
#include "proxy/TProxyTester.h"
#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <curl/curl.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <iterator>
#include <cerrno>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace {

// The service's account of a request is a few lines; anything longer through a proxy is not an honest
// answer, and failing it at once keeps ten thousand tests cheap.
constexpr qint64 kMaxAnswerBytes = 64 * 1024;
// Connection attempts in flight at most. Thousands of simultaneous attempts overflow the proxies' accept
// queues, and every dropped attempt then waits for the operating system's retry (1 s, 3 s, 7 s ...).
// Requests already connected do not count, so proxies that accept and never answer cannot hold places.
constexpr int kMaxConnecting = 256;
// The longest the thread sleeps without looking at its inbox and the stop flag.
constexpr int kMaxPollMs = 1000;

} // namespace

struct TProxyTestWorker::Transfer
{
    Job job;
    HttpClient::Body body;
    CURL* easy = nullptr;
    int* connecting = nullptr; // the loop's count of connection attempts, while this one is among them
    bool tunnel = false;       // the second request, through a CONNECT tunnel
    std::chrono::steady_clock::time_point deadline;
    // What the plain request brought, kept while the tunnel is tried.
    QString response;
    quint32 elapsed = 0;
    ProxyJudgement judgement;
};

namespace {

// Called once the connection to the proxy stands: the transfer no longer counts as a connection attempt.
int onConnected(void* user, char*, char*, int, int)
{
    auto* transfer = static_cast<TProxyTestWorker::Transfer*>(user);
    if (transfer->connecting) {
        --*transfer->connecting;
        transfer->connecting = nullptr;
    }
    return CURL_PREREQFUNC_OK;
}

} // namespace

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
                                  std::shared_ptr<const TProxyTestCriteria> criteria)
{
    Job job;
    job.host = host;
    job.port = port;
    job.kind = kind;
    job.criteria = std::move(criteria);
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

namespace {

// What libcurl's socket and timer callbacks share with the loop: sockets are watched with epoll, so each
// wake-up costs only the sockets that are ready, however many thousands of requests are open.
struct SocketLoop
{
    int epoll = -1;
    std::unordered_set<curl_socket_t> watched;
    bool timerSet = false;
    std::chrono::steady_clock::time_point timerDue;
};

int onSocket(CURL*, curl_socket_t socket, int what, void* user, void*)
{
    auto* loop = static_cast<SocketLoop*>(user);
    if (what == CURL_POLL_REMOVE) {
        epoll_ctl(loop->epoll, EPOLL_CTL_DEL, socket, nullptr);
        loop->watched.erase(socket);
        return 0;
    }
    epoll_event event{};
    event.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
    event.data.fd = socket;
    const bool known = loop->watched.count(socket) > 0;
    if (epoll_ctl(loop->epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0 && !known && errno == EEXIST)
        epoll_ctl(loop->epoll, EPOLL_CTL_MOD, socket, &event); // a reused descriptor number
    loop->watched.insert(socket);
    return 0;
}

int onTimer(CURLM*, long timeoutMs, void* user)
{
    auto* loop = static_cast<SocketLoop*>(user);
    loop->timerSet = timeoutMs >= 0;
    if (loop->timerSet)
        loop->timerDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return 0;
}

} // namespace

void TProxyTestWorker::run()
{
    EnsureCurlGlobalInit();
    CURLM* multi = curl_multi_init();
    SocketLoop loop;
    loop.epoll = epoll_create1(EPOLL_CLOEXEC);
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_wakeFd;
        epoll_ctl(loop.epoll, EPOLL_CTL_ADD, m_wakeFd, &event);
    }
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, &loop);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, &loop);

    const auto later = [](const Job& a, const Job& b) { return a.due != b.due ? a.due > b.due : a.seq > b.seq; };
    std::vector<Job> sleeping; // a heap, earliest due first
    std::deque<Job> due;       // past their start delay, waiting for a place among the connection attempts
    int connecting = 0;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> open;
    std::vector<Outcome> finished;
    std::vector<epoll_event> events(512);
    quint64 seenEpoch = ~quint64(0); // purges once at the start, in case a stop came before the thread

    // Takes a request off the loop; its test goes on only if the caller starts another request for it.
    const auto detachTransfer = [&](CURL* easy) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        std::unique_ptr<Transfer> transfer;
        const auto it = open.find(easy);
        if (it == open.end())
            return transfer;
        transfer = std::move(it->second);
        open.erase(it);
        if (transfer->connecting)
            --connecting;
        transfer->connecting = nullptr;
        transfer->easy = nullptr;
        return transfer;
    };
    const auto closeTransfer = [&](CURL* easy) {
        if (detachTransfer(easy))
            m_active.fetch_sub(1);
    };
    const auto fail = [&](Transfer& transfer, const QString& reason) {
        Outcome outcome{transfer.job, false, transfer.response, 0, {}};
        outcome.judgement.reason = reason;
        finished.push_back(std::move(outcome));
        m_active.fetch_sub(1);
    };
    // Starts the transfer's next request (the plain one, or the tunnelled one); false when it could not.
    const auto startRequest = [&](std::unique_ptr<Transfer> transfer) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer->deadline -
                                                                                std::chrono::steady_clock::now());
        const TProxyTestCriteria& criteria = *transfer->job.criteria;
        if (criteria.timeoutMs > 0 && left.count() <= 0) {
            fail(*transfer, QStringLiteral("no answer in time"));
            return;
        }
        transfer->body = HttpClient::Body();
        transfer->body.keep = kMaxAnswerBytes;
        transfer->body.max = kMaxAnswerBytes;
        transfer->easy = curl_easy_init();
        if (!transfer->easy) {
            fail(*transfer, QStringLiteral("cannot create a request"));
            return;
        }
        const bool socks5 = transfer->job.kind == TProxyKind::Socks5;
        HttpClient::prepareTransfer(transfer->easy, transfer->tunnel ? criteria.tunnelUrl : m_url, transfer->job.host,
                                    transfer->job.port, &transfer->body, socks5);
        // The limit covers the SOCKS5 handshake too: a proxy that stalls in it fails like one that never answers.
        if (criteria.timeoutMs > 0)
            curl_easy_setopt(transfer->easy, CURLOPT_TIMEOUT_MS, long(std::max<qint64>(1, left.count())));
        if (transfer->tunnel) {
            // Every SOCKS5 connection is a tunnel already; an HTTP proxy is asked for one with CONNECT.
            if (!socks5)
                curl_easy_setopt(transfer->easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
            // The tunnel is under test, not the certificate: a proxy could lie about either.
            curl_easy_setopt(transfer->easy, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(transfer->easy, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        curl_easy_setopt(transfer->easy, CURLOPT_PREREQFUNCTION, onConnected);
        curl_easy_setopt(transfer->easy, CURLOPT_PREREQDATA, transfer.get());
        transfer->connecting = &connecting;
        ++connecting;
        CURL* easy = transfer->easy;
        open.emplace(easy, std::move(transfer));
        curl_multi_add_handle(multi, easy);
    };

    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (Job& job : m_inbox) {
                sleeping.push_back(std::move(job));
                std::push_heap(sleeping.begin(), sleeping.end(), later);
            }
            m_inbox.clear();
            if (m_detached.load()) {
                // Nobody will ever receive these results: drop the sleepers and cut the requests.
                m_active.fetch_sub(int(sleeping.size() + due.size()));
                sleeping.clear();
                due.clear();
                while (!open.empty())
                    closeTransfer(open.begin()->first);
                m_running = false;
                break;
            }
        }

        // Tests queued before the latest stop end without a report. Their open requests are cut at once, so a
        // proxy that never answers is let go, and sleepers leave now rather than when their delay is up.
        const quint64 epoch = m_epoch.load();
        if (epoch != seenEpoch) {
            seenEpoch = epoch;
            const auto isCut = [this](const Job& job) { return cut(job); };
            const auto sleepersEnd = std::remove_if(sleeping.begin(), sleeping.end(), isCut);
            m_active.fetch_sub(int(sleeping.end() - sleepersEnd));
            sleeping.erase(sleepersEnd, sleeping.end());
            std::make_heap(sleeping.begin(), sleeping.end(), later);
            const auto dueEnd = std::remove_if(due.begin(), due.end(), isCut);
            m_active.fetch_sub(int(due.end() - dueEnd));
            due.erase(dueEnd, due.end());
            std::vector<CURL*> cutTransfers;
            for (const auto& [easy, transfer] : open) {
                if (cut(transfer->job))
                    cutTransfers.push_back(easy);
            }
            for (CURL* easy : cutTransfers)
                closeTransfer(easy);
        }

        auto now = std::chrono::steady_clock::now();
        while (!sleeping.empty() && sleeping.front().due <= now) {
            std::pop_heap(sleeping.begin(), sleeping.end(), later);
            due.push_back(std::move(sleeping.back()));
            sleeping.pop_back();
        }
        // Woken after a stop that came since the purge above: they end without a request and without a report.
        const auto dueEnd = std::remove_if(due.begin(), due.end(), [this](const Job& job) { return cut(job); });
        m_active.fetch_sub(int(due.end() - dueEnd));
        due.erase(dueEnd, due.end());
        while (!due.empty() && connecting < kMaxConnecting) {
            auto transfer = std::make_unique<Transfer>();
            transfer->job = std::move(due.front());
            due.pop_front();
            if (!transfer->job.criteria)
                transfer->job.criteria = std::make_shared<const TProxyTestCriteria>();
            // The time limit counts from the end of the start delay, waiting for a place included.
            transfer->deadline = transfer->job.due + std::chrono::milliseconds(transfer->job.criteria->timeoutMs);
            startRequest(std::move(transfer));
        }

        now = std::chrono::steady_clock::now();
        auto wakeAt = now + std::chrono::milliseconds(kMaxPollMs);
        if (!sleeping.empty())
            wakeAt = std::min(wakeAt, sleeping.front().due);
        if (loop.timerSet)
            wakeAt = std::min(wakeAt, loop.timerDue);
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count();
        const int ready = epoll_wait(loop.epoll, events.data(), int(events.size()), int(std::max<qint64>(0, waitMs)));

        int running = 0;
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            if (fd == m_wakeFd) {
                quint64 count = 0;
                (void)!read(m_wakeFd, &count, sizeof(count));
                continue;
            }
            const uint32_t flags = events[e].events;
            const int mask = (flags & EPOLLIN ? CURL_CSELECT_IN : 0) | (flags & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                             (flags & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
            curl_multi_socket_action(multi, fd, mask, &running);
        }
        if (loop.timerSet && std::chrono::steady_clock::now() >= loop.timerDue) {
            loop.timerSet = false;
            curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
        }

        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            CURL* easy = msg->easy_handle;
            const auto it = open.find(easy);
            if (it == open.end())
                continue;
            curl_off_t micros = 0;
            curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &micros);
            const HttpResponse response = HttpClient::finishTransfer(easy, msg->data.result, it->second->body);
            std::unique_ptr<Transfer> transfer = detachTransfer(easy);
            if (cut(transfer->job)) {
                m_active.fetch_sub(1);
                continue;
            }
            if (!transfer->tunnel)
                transfer->response = QString::fromUtf8(response.body);
            if (!response.ok) {
                fail(*transfer, (transfer->tunnel ? QStringLiteral("tunnel: ") : QString()) + response.error);
                continue;
            }
            const TProxyTestCriteria& criteria = *transfer->job.criteria;
            ProxyJudgement judgement = JudgeAddressAnswer(response.body, criteria.localAddress, !transfer->tunnel);
            if (!judgement.pass) {
                fail(*transfer, (transfer->tunnel ? QStringLiteral("tunnel: ") : QString()) + judgement.reason);
                continue;
            }
            if (!transfer->tunnel) {
                transfer->elapsed = quint32(micros / 1000);
                transfer->judgement = std::move(judgement);
                if (!criteria.tunnelUrl.isEmpty()) {
                    transfer->tunnel = true;
                    startRequest(std::move(transfer));
                    continue;
                }
            }
            finished.push_back({transfer->job, true, transfer->response, transfer->elapsed, transfer->judgement});
            m_active.fetch_sub(1);
        }
        // Results still waiting for their hand-over are dropped too when a stop came meanwhile.
        finished.erase(std::remove_if(finished.begin(), finished.end(),
                                      [this](const Outcome& outcome) { return cut(outcome.job); }),
                       finished.end());
        deliver(finished);
    }
    curl_multi_cleanup(multi);
    close(loop.epoll);
}
