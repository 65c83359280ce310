#include "proxy/ProxyTransferLoop.h"

#include "net/CurlGlobal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
// Socket events taken per wake-up; more ready sockets wait for the next round.
constexpr int kEventsPerWait = 512;

} // namespace

struct ProxyTransferLoop::Transfer
{
    ProxyTestJob job;
    HttpClient::Body body;
    CURL* easy = nullptr;
    ProxyTransferLoop* loop = nullptr;
    bool connecting = false; // counted among the loop's connection attempts
    bool tunnel = false;     // the second request, through a CONNECT tunnel
    std::chrono::steady_clock::time_point deadline;
    // What the plain request brought, kept while the tunnel is tried.
    QString response;
    quint32 elapsed = 0;
    ProxyJudgement judgement;
};

ProxyTransferLoop::ProxyTransferLoop(const QString& url, int wakeFd, const std::atomic<quint64>& stops,
                                     std::atomic_int& active)
    : m_url(url), m_wakeFd(wakeFd), m_stops(stops), m_active(active), m_events(kEventsPerWait)
{
    EnsureCurlGlobalInit();
    m_multi = curl_multi_init();
    m_watch.epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_wakeFd;
    epoll_ctl(m_watch.epoll, EPOLL_CTL_ADD, m_wakeFd, &event);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, &m_watch);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, &m_watch);
}

ProxyTransferLoop::~ProxyTransferLoop()
{
    while (!m_open.empty())
        closeTransfer(m_open.begin()->first);
    curl_multi_cleanup(m_multi);
    close(m_watch.epoll);
}

int ProxyTransferLoop::onSocket(CURL*, curl_socket_t socket, int what, void* user, void*)
{
    auto* watch = static_cast<SocketWatch*>(user);
    if (what == CURL_POLL_REMOVE) {
        epoll_ctl(watch->epoll, EPOLL_CTL_DEL, socket, nullptr);
        watch->watched.erase(socket);
        return 0;
    }
    epoll_event event{};
    event.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
    event.data.fd = socket;
    const bool known = watch->watched.count(socket) > 0;
    if (epoll_ctl(watch->epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0 && !known &&
        errno == EEXIST)
        epoll_ctl(watch->epoll, EPOLL_CTL_MOD, socket, &event); // a reused descriptor number
    watch->watched.insert(socket);
    return 0;
}

int ProxyTransferLoop::onTimer(CURLM*, long timeoutMs, void* user)
{
    auto* watch = static_cast<SocketWatch*>(user);
    watch->timerSet = timeoutMs >= 0;
    if (watch->timerSet)
        watch->timerDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return 0;
}

// Called once the connection to the proxy stands: the transfer no longer counts as a connection attempt.
int ProxyTransferLoop::onConnected(void* user, char*, char*, int, int)
{
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->connecting) {
        --transfer->loop->m_connecting;
        transfer->connecting = false;
    }
    return CURL_PREREQFUNC_OK;
}

bool ProxyTransferLoop::startsLater(const ProxyTestJob& a, const ProxyTestJob& b)
{
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
}

void ProxyTransferLoop::add(std::vector<ProxyTestJob>& jobs)
{
    for (ProxyTestJob& job : jobs) {
        m_sleeping.push_back(std::move(job));
        std::push_heap(m_sleeping.begin(), m_sleeping.end(), startsLater);
    }
    jobs.clear();
}

void ProxyTransferLoop::dropAll()
{
    m_active.fetch_sub(int(m_sleeping.size() + m_due.size()));
    m_sleeping.clear();
    m_due.clear();
    while (!m_open.empty())
        closeTransfer(m_open.begin()->first);
}

template <typename Jobs> void ProxyTransferLoop::dropCutJobs(Jobs& jobs)
{
    const auto kept = std::remove_if(jobs.begin(), jobs.end(), [this](const ProxyTestJob& job) { return cut(job); });
    m_active.fetch_sub(int(jobs.end() - kept));
    jobs.erase(kept, jobs.end());
}

void ProxyTransferLoop::dropCut()
{
    dropCutJobs(m_sleeping);
    std::make_heap(m_sleeping.begin(), m_sleeping.end(), startsLater);
    dropCutJobs(m_due);
    std::vector<CURL*> cutTransfers;
    for (const auto& [easy, transfer] : m_open) {
        if (cut(transfer->job))
            cutTransfers.push_back(easy);
    }
    for (CURL* easy : cutTransfers)
        closeTransfer(easy);
}

void ProxyTransferLoop::startDue()
{
    const auto now = std::chrono::steady_clock::now();
    while (!m_sleeping.empty() && m_sleeping.front().due <= now) {
        std::pop_heap(m_sleeping.begin(), m_sleeping.end(), startsLater);
        m_due.push_back(std::move(m_sleeping.back()));
        m_sleeping.pop_back();
    }
    // Woken after a stop that came since the last purge: they end without a request and without a report.
    dropCutJobs(m_due);
    while (!m_due.empty() && m_connecting < kMaxConnecting) {
        ProxyTestJob job = std::move(m_due.front());
        m_due.pop_front();
        startTest(std::move(job));
    }
}

void ProxyTransferLoop::startTest(ProxyTestJob job)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->job = std::move(job);
    transfer->loop = this;
    if (!transfer->job.criteria)
        transfer->job.criteria = std::make_shared<const TProxyTestCriteria>();
    // The time limit counts from the end of the start delay, waiting for a place included.
    transfer->deadline = transfer->job.due + std::chrono::milliseconds(transfer->job.criteria->timeoutMs);
    startRequest(std::move(transfer));
}

void ProxyTransferLoop::startRequest(std::unique_ptr<Transfer> transfer)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(transfer->deadline - std::chrono::steady_clock::now());
    const TProxyTestCriteria& criteria = *transfer->job.criteria;
    if (criteria.timeoutMs > 0 && left.count() <= 0) {
        fail(*transfer, QStringLiteral("no answer in time"));
        return;
    }
    if (!prepareRequest(*transfer, left.count())) {
        fail(*transfer, QStringLiteral("cannot create a request"));
        return;
    }
    curl_easy_setopt(transfer->easy, CURLOPT_PREREQFUNCTION, onConnected);
    curl_easy_setopt(transfer->easy, CURLOPT_PREREQDATA, transfer.get());
    transfer->connecting = true;
    ++m_connecting;
    CURL* easy = transfer->easy;
    m_open.emplace(easy, std::move(transfer));
    curl_multi_add_handle(m_multi, easy);
}

bool ProxyTransferLoop::prepareRequest(Transfer& transfer, qint64 leftMs) const
{
    const TProxyTestCriteria& criteria = *transfer.job.criteria;
    transfer.body = HttpClient::Body();
    transfer.body.keep = kMaxAnswerBytes;
    transfer.body.max = kMaxAnswerBytes;
    transfer.easy = curl_easy_init();
    if (!transfer.easy)
        return false;
    const bool socks5 = transfer.job.kind == TProxyKind::Socks5;
    HttpClient::prepareTransfer(transfer.easy, transfer.tunnel ? criteria.tunnelUrl : m_url, transfer.job.host,
                                transfer.job.port, &transfer.body, socks5);
    // The limit covers the SOCKS5 handshake too: a proxy that stalls in it fails like one that never answers.
    if (criteria.timeoutMs > 0)
        curl_easy_setopt(transfer.easy, CURLOPT_TIMEOUT_MS, long(std::max<qint64>(1, leftMs)));
    if (transfer.tunnel) {
        // Every SOCKS5 connection is a tunnel already; an HTTP proxy is asked for one with CONNECT.
        if (!socks5)
            curl_easy_setopt(transfer.easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
        // The tunnel is under test, not the certificate: a proxy could lie about either.
        curl_easy_setopt(transfer.easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(transfer.easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    return true;
}

std::unique_ptr<ProxyTransferLoop::Transfer> ProxyTransferLoop::takeTransfer(CURL* easy)
{
    curl_multi_remove_handle(m_multi, easy);
    curl_easy_cleanup(easy);
    std::unique_ptr<Transfer> transfer;
    const auto it = m_open.find(easy);
    if (it == m_open.end())
        return transfer;
    transfer = std::move(it->second);
    m_open.erase(it);
    if (transfer->connecting)
        --m_connecting;
    transfer->connecting = false;
    transfer->easy = nullptr;
    return transfer;
}

void ProxyTransferLoop::closeTransfer(CURL* easy)
{
    if (takeTransfer(easy))
        m_active.fetch_sub(1);
}

void ProxyTransferLoop::fail(const Transfer& transfer, const QString& reason)
{
    ProxyTestOutcome outcome{transfer.job, false, transfer.response, 0, {}};
    outcome.judgement.reason = reason;
    m_results.push_back(std::move(outcome));
    m_active.fetch_sub(1);
}

void ProxyTransferLoop::pass(const Transfer& transfer)
{
    m_results.push_back({transfer.job, true, transfer.response, transfer.elapsed, transfer.judgement});
    m_active.fetch_sub(1);
}

void ProxyTransferLoop::wait()
{
    const auto now = std::chrono::steady_clock::now();
    auto wakeAt = now + std::chrono::milliseconds(kMaxPollMs);
    if (!m_sleeping.empty())
        wakeAt = std::min(wakeAt, m_sleeping.front().due);
    if (m_watch.timerSet)
        wakeAt = std::min(wakeAt, m_watch.timerDue);
    const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count();
    const int ready =
        epoll_wait(m_watch.epoll, m_events.data(), int(m_events.size()), int(std::max<qint64>(0, waitMs)));

    int running = 0;
    for (int e = 0; e < ready; ++e) {
        const int fd = m_events[e].data.fd;
        if (fd == m_wakeFd) {
            drainWake();
            continue;
        }
        const uint32_t flags = m_events[e].events;
        const int mask = (flags & EPOLLIN ? CURL_CSELECT_IN : 0) | (flags & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                         (flags & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
        curl_multi_socket_action(m_multi, fd, mask, &running);
    }
    if (m_watch.timerSet && std::chrono::steady_clock::now() >= m_watch.timerDue) {
        m_watch.timerSet = false;
        curl_multi_socket_action(m_multi, CURL_SOCKET_TIMEOUT, 0, &running);
    }
}

void ProxyTransferLoop::drainWake()
{
    quint64 count = 0;
    (void)!read(m_wakeFd, &count, sizeof(count));
}

void ProxyTransferLoop::collectFinished()
{
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &queued)) {
        if (msg->msg == CURLMSG_DONE)
            finishRequest(msg->easy_handle, msg->data.result);
    }
}

void ProxyTransferLoop::finishRequest(CURL* easy, CURLcode result)
{
    const auto it = m_open.find(easy);
    if (it == m_open.end())
        return;
    curl_off_t micros = 0;
    curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &micros);
    const HttpResponse response = HttpClient::finishTransfer(easy, result, it->second->body);
    std::unique_ptr<Transfer> transfer = takeTransfer(easy);
    if (cut(transfer->job)) {
        m_active.fetch_sub(1);
        return;
    }
    if (!transfer->tunnel)
        transfer->response = QString::fromUtf8(response.body);
    const QString stage = transfer->tunnel ? QStringLiteral("tunnel: ") : QString();
    if (!response.ok) {
        fail(*transfer, stage + response.error);
        return;
    }
    const TProxyTestCriteria& criteria = *transfer->job.criteria;
    ProxyJudgement judgement = JudgeAddressAnswer(response.body, criteria.localAddress, !transfer->tunnel);
    if (!judgement.pass) {
        fail(*transfer, stage + judgement.reason);
        return;
    }
    if (!transfer->tunnel) {
        transfer->elapsed = quint32(micros / 1000);
        transfer->judgement = std::move(judgement);
        if (!criteria.tunnelUrl.isEmpty()) {
            transfer->tunnel = true;
            startRequest(std::move(transfer));
            return;
        }
    }
    pass(*transfer);
}
