#include "proxy/ProxyTransferLoop.h"

#include "net/CurlGlobal.h"

#include <openssl/ssl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The service's account of a request is a few lines; anything longer through a proxy is not an honest
// answer, and failing it at once keeps ten thousand tests cheap.
constexpr qint64 kMaxAnswerBytes = 64 * 1024;
// Connection attempts in flight at most. Thousands of simultaneous attempts overflow the proxies' accept
// queues, and every dropped attempt then waits for the operating system's retry (1 s, 3 s, 7 s ...).
// Requests already connected do not count, so proxies that accept and never answer cannot hold places.
constexpr int kMaxConnecting = 256;
// Tests under way at the start; the number grows from here by one a round while tests end in good time. A burst
// of thousands of proxies on a small machine is done no sooner with thousands at once, only with every test
// slower; a long run still grows to what the machine holds.
constexpr int kInitialRunning = 256;
// More tests at once than this make no list faster, only every test slower and the memory larger.
constexpr int kMaxRunning = 8192;
// A test the system keeps refusing resources is failed after this many tries rather than queued for ever.
constexpr int kMaxRequeues = 50;
// Tunnel handshakes that fail before any passed, for the service to be taken as refusing TLS 1.2; a broken
// proxy fails one too, so one alone tells nothing.
constexpr int kTls12FailuresToDrop = 8;
// Tunnel handshakes at once while there is no TLS session to resume: more than one, so that a single slow proxy
// does not hold every tunnel test back.
constexpr int kSessionMakers = 2;
// The longest a tunnel request waits for another's session; after that it shakes hands on its own.
constexpr auto kMaxSessionWait = std::chrono::milliseconds(1500);
// A session this old may have left the service's cache: the next tunnels make a new one before the rest follow.
constexpr auto kSessionFresh = std::chrono::seconds(60);
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
    bool connecting = false;                         // counted among the loop's connection attempts
    bool tunnel = false;                             // the second request, through a CONNECT tunnel
    bool tls12 = false;                              // the tunnel request speaks TLS 1.2 at most
    bool sessionMaker = false;                       // shakes hands while no session is there to resume
    std::chrono::steady_clock::time_point heldSince; // began to wait for another's session (unset: never did)
    int localErrno = 0;                              // why this machine refused the request a socket, 0 when it did not
    std::chrono::steady_clock::time_point started;   // the first request went out
    std::chrono::steady_clock::time_point deadline;
    std::unique_ptr<TunnelRequest> own; // the tunnel request when it is the loop's own
    // What the plain request brought, kept while the tunnel is tried.
    QString response;
    quint32 elapsed = 0;
    ProxyJudgement judgement;
};

ProxyTransferLoop::ProxyTransferLoop(const QString& url, int wakeFd, const std::atomic<quint64>& stops,
                                     std::atomic_int& active, const std::atomic_int& maxRunning)
    : m_url(url), m_wakeFd(wakeFd), m_stops(stops), m_active(active), m_maxRunning(maxRunning),
      m_limit(kInitialRunning), m_events(kEventsPerWait)
{
    EnsureCurlGlobalInit();
    m_multi = curl_multi_init();
    // Only this thread uses the share, so it needs no locks. Names are not shared: every proxy is a different
    // address, asked twice at most.
    m_share = curl_share_init();
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
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
    m_active.fetch_sub(int(m_ownTunnels.size()));
    m_ownTunnels.clear();
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share); // after every request that used it
    if (m_tlsSession)
        SSL_SESSION_free(m_tlsSession);
    if (m_tlsContext)
        SSL_CTX_free(m_tlsContext); // after every request that used it
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
    // A descriptor number can be known and gone (closed before libcurl said so, the number since reused), or
    // unknown and still watched: either way the socket in hand must end up watched.
    if (epoll_ctl(watch->epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0) {
        if (known && errno == ENOENT)
            epoll_ctl(watch->epoll, EPOLL_CTL_ADD, socket, &event);
        else if (!known && errno == EEXIST)
            epoll_ctl(watch->epoll, EPOLL_CTL_MOD, socket, &event);
    }
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
    // For a tunnel request the TLS handshake is over too, and its session in the share for the others.
    if (transfer->tunnel && transfer->tls12)
        transfer->loop->m_sessionAt = std::chrono::steady_clock::now();
    if (transfer->connecting) {
        --transfer->loop->m_connecting;
        transfer->connecting = false;
    }
    return CURL_PREREQFUNC_OK;
}

// Opens the request's socket as libcurl would, noting why the system refused one: that is this machine's limit,
// not the proxy's fault.
curl_socket_t ProxyTransferLoop::onOpenSocket(void* user, curlsocktype, curl_sockaddr* address)
{
    const curl_socket_t fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd == CURL_SOCKET_BAD)
        static_cast<Transfer*>(user)->localErrno = errno;
    return fd;
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
    m_active.fetch_sub(int(m_sleeping.size() + m_due.size() + m_awaitingSession.size()));
    m_sleeping.clear();
    m_due.clear();
    m_awaitingSession.clear();
    while (!m_open.empty())
        closeTransfer(m_open.begin()->first);
    m_active.fetch_sub(int(m_ownTunnels.size()));
    while (!m_ownTunnels.empty())
        takeOwnTunnel(m_ownTunnels.begin()->first);
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
    const auto held = std::remove_if(m_awaitingSession.begin(), m_awaitingSession.end(),
                                     [this](const std::unique_ptr<Transfer>& transfer) { return cut(transfer->job); });
    m_active.fetch_sub(int(m_awaitingSession.end() - held));
    m_awaitingSession.erase(held, m_awaitingSession.end());
    std::vector<CURL*> cutTransfers;
    for (const auto& [easy, transfer] : m_open) {
        if (cut(transfer->job))
            cutTransfers.push_back(easy);
    }
    for (CURL* easy : cutTransfers)
        closeTransfer(easy);
    std::vector<int> cutTunnels;
    for (const auto& [fd, transfer] : m_ownTunnels) {
        if (cut(transfer->job))
            cutTunnels.push_back(fd);
    }
    for (int fd : cutTunnels) {
        takeOwnTunnel(fd);
        m_active.fetch_sub(1);
    }
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
    // Tests halfway through go on before new ones begin.
    startHeld();
    const int limit = runLimit();
    while (!m_due.empty() && m_connecting < kMaxConnecting && openCount() + int(m_awaitingSession.size()) < limit) {
        ProxyTestJob job = std::move(m_due.front());
        m_due.pop_front();
        startTest(std::move(job));
    }
}

bool ProxyTransferLoop::sessionFresh(std::chrono::steady_clock::time_point now) const
{
    return m_sessionAt != std::chrono::steady_clock::time_point() && now - m_sessionAt < kSessionFresh;
}

bool ProxyTransferLoop::waitsForSession(const Transfer& transfer, std::chrono::steady_clock::time_point now) const
{
    // A TLS 1.3 session is spent by one request: waiting for it would gain the others nothing.
    if (!transfer.tunnel || m_tunnelTls == TunnelTls::Dropped || m_sessionMakers < kSessionMakers || sessionFresh(now))
        return false;
    return transfer.heldSince == std::chrono::steady_clock::time_point() || now - transfer.heldSince < kMaxSessionWait;
}

void ProxyTransferLoop::startHeld()
{
    const auto now = std::chrono::steady_clock::now();
    while (!m_awaitingSession.empty() && !waitsForSession(*m_awaitingSession.front(), now)) {
        std::unique_ptr<Transfer> transfer = std::move(m_awaitingSession.front());
        m_awaitingSession.pop_front();
        // The wait was ours, not the proxy's: its time limit moves on by as much.
        const auto held = now - transfer->heldSince;
        transfer->started += held;
        transfer->deadline += held;
        startRequest(std::move(transfer));
    }
}

void ProxyTransferLoop::startTest(ProxyTestJob job)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->job = std::move(job);
    transfer->loop = this;
    if (!transfer->job.criteria)
        transfer->job.criteria = std::make_shared<const TProxyTestCriteria>();
    // The time limit is the proxy's: it counts from its own first request, not from the wait for a place.
    transfer->started = std::chrono::steady_clock::now();
    transfer->deadline = transfer->started + std::chrono::milliseconds(transfer->job.timeLimitMs());
    startRequest(std::move(transfer));
}

void ProxyTransferLoop::startRequest(std::unique_ptr<Transfer> transfer)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(transfer->deadline - std::chrono::steady_clock::now());
    if (transfer->job.timeLimitMs() > 0 && left.count() <= 0) {
        fail(*transfer, QStringLiteral("no answer in time"));
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (transfer->heldSince == std::chrono::steady_clock::time_point() && waitsForSession(*transfer, now)) {
        transfer->heldSince = now;
        m_awaitingSession.push_back(std::move(transfer));
        return;
    }
    if (transfer->tunnel && ownsTunnel(*transfer)) {
        startOwnTunnel(std::move(transfer), left.count());
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
    if (transfer->tunnel && transfer->tls12 && !sessionFresh(now)) {
        transfer->sessionMaker = true;
        ++m_sessionMakers;
    }
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
    transfer.localErrno = 0;
    const bool socks5 = transfer.job.kind == TProxyKind::Socks5;
    HttpClient::prepareTransfer(transfer.easy, transfer.tunnel ? criteria.tunnelUrl : m_url, transfer.job.host,
                                transfer.job.port, &transfer.body, socks5);
    // The limit covers the SOCKS5 handshake too: a proxy that stalls in it fails like one that never answers.
    if (transfer.job.timeLimitMs() > 0)
        curl_easy_setopt(transfer.easy, CURLOPT_TIMEOUT_MS, long(std::max<qint64>(1, leftMs)));
    curl_easy_setopt(transfer.easy, CURLOPT_SHARE, m_share);
    // libcurl looks through its whole name cache for stale entries at every lookup, and a cache holding each of
    // ten thousand proxies' addresses for a minute made that the costliest part of a test. A proxy's address is
    // looked up once per request instead (a literal address costs nothing).
    curl_easy_setopt(transfer.easy, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
    // Every proxy is asked once: an idle connection kept for reuse would only hold a descriptor and the
    // proxy's attention.
    curl_easy_setopt(transfer.easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(transfer.easy, CURLOPT_OPENSOCKETFUNCTION, onOpenSocket);
    curl_easy_setopt(transfer.easy, CURLOPT_OPENSOCKETDATA, &transfer);
    if (transfer.tunnel) {
        // Every SOCKS5 connection is a tunnel already; an HTTP proxy is asked for one with CONNECT.
        if (!socks5)
            curl_easy_setopt(transfer.easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
        // The tunnel is under test, not the certificate: a proxy could lie about either.
        curl_easy_setopt(transfer.easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(transfer.easy, CURLOPT_SSL_VERIFYHOST, 0L);
        // A TLS 1.2 session can be resumed by every tunnel test at once: one round trip and no key exchange
        // for the service. A TLS 1.3 one is spent by the first that uses it, so tests running side by side
        // would each pay the full handshake.
        transfer.tls12 = m_tunnelTls != TunnelTls::Dropped;
        if (transfer.tls12)
            curl_easy_setopt(transfer.easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_MAX_TLSv1_2));
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
    releasePlaces(*transfer);
    transfer->easy = nullptr;
    return transfer;
}

void ProxyTransferLoop::releasePlaces(Transfer& transfer)
{
    if (transfer.connecting)
        --m_connecting;
    transfer.connecting = false;
    if (transfer.sessionMaker)
        --m_sessionMakers;
    transfer.sessionMaker = false;
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
    if (!m_awaitingSession.empty())
        wakeAt = std::min(wakeAt, m_awaitingSession.front()->heldSince + kMaxSessionWait);
    if (!m_ownDeadlines.empty())
        wakeAt = std::min(wakeAt, m_ownDeadlines.begin()->first);
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
        if (m_ownTunnels.count(fd) > 0) {
            advanceOwnTunnel(fd);
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
    expireOwnTunnels(std::chrono::steady_clock::now());
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
    long osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    RequestEnd end;
    end.local = refusedLocally(*it->second, result, osErrno);
    curl_off_t micros = 0;
    curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &micros);
    end.micros = micros;
    HttpResponse response = HttpClient::finishTransfer(easy, result, it->second->body);
    end.ok = response.ok;
    end.body = std::move(response.body);
    end.error = response.error;
    end.timedOut = result == CURLE_OPERATION_TIMEDOUT;
    end.tlsFailed = result == CURLE_SSL_CONNECT_ERROR;
    judge(takeTransfer(easy), std::move(end));
}

void ProxyTransferLoop::judge(std::unique_ptr<Transfer> transfer, RequestEnd end)
{
    if (cut(transfer->job)) {
        m_active.fetch_sub(1);
        return;
    }
    if (end.local) {
        requeue(std::move(transfer));
        return;
    }
    const int limitMs = transfer->job.timeLimitMs();
    const qint64 tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - transfer->started)
            .count();
    if (!transfer->tunnel)
        transfer->response = QString::fromUtf8(end.body);
    const QString stage = transfer->tunnel ? QStringLiteral("tunnel: ") : QString();
    if (transfer->tunnel && tunnelRefusedTls12(*transfer, end.tlsFailed)) {
        m_due.push_front(std::move(transfer->job)); // our choice failed it, not the proxy
        return;
    }
    if (!end.ok) {
        // A proxy that used its whole limit is most likely dead; its place is free again all the same.
        adapt(end.timedOut ? 0 : tookMs, limitMs, false);
        fail(*transfer, stage + end.error);
        return;
    }
    const TProxyTestCriteria& criteria = *transfer->job.criteria;
    ProxyJudgement judgement = JudgeAddressAnswer(end.body, criteria.localAddress, !transfer->tunnel);
    if (!judgement.pass) {
        adapt(tookMs, limitMs, false);
        fail(*transfer, stage + judgement.reason);
        return;
    }
    if (!transfer->tunnel) {
        transfer->elapsed = quint32(end.micros / 1000);
        transfer->judgement = std::move(judgement);
        if (!criteria.tunnelUrl.isEmpty()) {
            transfer->tunnel = true;
            startRequest(std::move(transfer));
            return;
        }
    }
    if (transfer->tunnel && transfer->tls12)
        m_tunnelTls = TunnelTls::Kept; // the service speaks it
    adapt(tookMs, limitMs, true);
    pass(*transfer);
}

bool ProxyTransferLoop::ownsTunnel(const Transfer& transfer)
{
    if (transfer.job.kind != TProxyKind::Http)
        return false;
    const QString& url = transfer.job.criteria->tunnelUrl;
    if (url != m_tunnelUrl) {
        m_tunnelUrl = url;
        m_tunnelTargetValid = TunnelTarget::parse(url, m_tunnelTarget);
    }
    if (!m_tunnelTargetValid)
        return false;
    // A proxy named by a host name is left to libcurl, which looks the name up without blocking.
    return IsLiteralAddress(transfer.job.host.toLatin1());
}

void ProxyTransferLoop::startOwnTunnel(std::unique_ptr<Transfer> transfer, qint64 leftMs)
{
    if (!m_tlsContext) {
        m_tlsContext = SSL_CTX_new(TLS_client_method());
        if (!m_tlsContext) {
            fail(*transfer, QStringLiteral("cannot create a TLS context"));
            return;
        }
        // The tunnel is under test, not the certificate: a proxy could lie about either.
        SSL_CTX_set_verify(m_tlsContext, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(m_tlsContext, SSL_SESS_CACHE_OFF); // the loop keeps its one session
        SSL_CTX_set_options(m_tlsContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
    }
    const auto now = std::chrono::steady_clock::now();
    transfer->tls12 = m_tunnelTls != TunnelTls::Dropped;
    transfer->own =
        std::make_unique<TunnelRequest>(m_tunnelTarget, m_tlsContext, m_tlsSession, transfer->tls12, kMaxAnswerBytes);
    if (!transfer->own->start(transfer->job.host.toLatin1(), transfer->job.port)) {
        const TunnelRequest::Result& result = transfer->own->result();
        if (refusedLocally(result.startErrno)) {
            transfer->localErrno = result.startErrno;
            requeue(std::move(transfer));
            return;
        }
        adapt(0, transfer->job.timeLimitMs(), false);
        fail(*transfer, QStringLiteral("tunnel: ") + result.error);
        return;
    }
    const int fd = transfer->own->socket();
    epoll_event event{};
    event.events = transfer->own->events();
    event.data.fd = fd;
    epoll_ctl(m_watch.epoll, EPOLL_CTL_ADD, fd, &event);
    transfer->connecting = true;
    ++m_connecting;
    if (transfer->tls12 && !sessionFresh(now)) {
        transfer->sessionMaker = true;
        ++m_sessionMakers;
    }
    if (transfer->job.timeLimitMs() > 0) {
        transfer->deadline = now + std::chrono::milliseconds(std::max<qint64>(1, leftMs));
        m_ownDeadlines.emplace(transfer->deadline, fd);
    }
    m_ownTunnels.emplace(fd, std::move(transfer));
}

void ProxyTransferLoop::advanceOwnTunnel(int fd)
{
    Transfer& transfer = *m_ownTunnels.at(fd);
    TunnelRequest& request = *transfer.own;
    const uint32_t before = request.events();
    const bool wasHandshaken = request.handshaken();
    const bool ended = request.advance();
    if (transfer.connecting && request.connected()) {
        --m_connecting;
        transfer.connecting = false;
    }
    if (!wasHandshaken && request.handshaken() && transfer.tls12) {
        m_sessionAt = std::chrono::steady_clock::now();
        if (SSL_SESSION* made = request.takeNewSession()) {
            if (m_tlsSession)
                SSL_SESSION_free(m_tlsSession);
            m_tlsSession = made;
        }
    }
    if (ended) {
        std::unique_ptr<Transfer> done = takeOwnTunnel(fd);
        const TunnelRequest::Result& result = done->own->result();
        RequestEnd end;
        end.ok = result.ok;
        end.body = result.body;
        end.error = result.error;
        end.tlsFailed = result.tlsFailed;
        done->own.reset();
        judge(std::move(done), std::move(end));
        return;
    }
    if (request.events() != before) {
        epoll_event event{};
        event.events = request.events();
        event.data.fd = fd;
        epoll_ctl(m_watch.epoll, EPOLL_CTL_MOD, fd, &event);
    }
}

void ProxyTransferLoop::expireOwnTunnels(std::chrono::steady_clock::time_point now)
{
    while (!m_ownDeadlines.empty() && m_ownDeadlines.begin()->first <= now) {
        const int fd = m_ownDeadlines.begin()->second;
        m_ownDeadlines.erase(m_ownDeadlines.begin());
        std::unique_ptr<Transfer> transfer = takeOwnTunnel(fd);
        if (!transfer)
            continue;
        RequestEnd end;
        end.error = QStringLiteral("no answer in time");
        end.timedOut = true;
        transfer->own.reset();
        judge(std::move(transfer), std::move(end));
    }
}

std::unique_ptr<ProxyTransferLoop::Transfer> ProxyTransferLoop::takeOwnTunnel(int fd)
{
    std::unique_ptr<Transfer> transfer;
    const auto it = m_ownTunnels.find(fd);
    if (it == m_ownTunnels.end())
        return transfer;
    transfer = std::move(it->second);
    m_ownTunnels.erase(it);
    m_ownDeadlines.erase({transfer->deadline, fd});
    epoll_ctl(m_watch.epoll, EPOLL_CTL_DEL, fd, nullptr);
    releasePlaces(*transfer);
    return transfer;
}

bool ProxyTransferLoop::tunnelRefusedTls12(const Transfer& transfer, bool tlsFailed)
{
    if (!transfer.tls12 || m_tunnelTls == TunnelTls::Kept || !tlsFailed)
        return false;
    // Until a pass shows that the service speaks TLS 1.2, a failed handshake may be our choice's fault: the
    // test is tried again (with TLS 1.3 once the failures have piled up).
    if (m_tunnelTls == TunnelTls::Trying && ++m_tls12Failures >= kTls12FailuresToDrop)
        m_tunnelTls = TunnelTls::Dropped;
    return true;
}

bool ProxyTransferLoop::refusedLocally(const Transfer& transfer, CURLcode result, long osErrno)
{
    if (transfer.localErrno != 0)
        return true;
    if (result != CURLE_COULDNT_CONNECT)
        return false;
    return refusedLocally(int(osErrno));
}

bool ProxyTransferLoop::refusedLocally(int error)
{
    // Out of descriptors, kernel buffers, memory or local ports: the proxy was never asked.
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM || error == EADDRNOTAVAIL;
}

void ProxyTransferLoop::requeue(std::unique_ptr<Transfer> transfer)
{
    ++m_localRefusals;
    // What runs now is more than the machine holds: three quarters of it from now on, growing slowly again.
    m_limit = std::max(1, std::min(m_limit, openCount() * 3 / 4));
    m_growth = 0;
    const int error = transfer->localErrno;
    // With none of our own requests left to end, waiting frees nothing: the system is out of them for good.
    if (openCount() == 0 || ++transfer->job.requeues > kMaxRequeues) {
        fail(*transfer, QStringLiteral("this machine refuses more connections (%1)")
                            .arg(QString::fromLocal8Bit(strerror(error != 0 ? error : EMFILE))));
        return;
    }
    // It starts afresh, with its whole limit, once a place is free again.
    m_due.push_front(std::move(transfer->job));
}

int ProxyTransferLoop::runLimit() const
{
    const int cap = m_maxRunning.load();
    return cap > 0 ? std::min(m_limit, cap) : m_limit;
}

void ProxyTransferLoop::adapt(qint64 tookMs, int limitMs, bool passed)
{
    const bool quick = limitMs <= 0 || tookMs * 2 <= limitMs;
    if (!quick) {
        // A healthy proxy that needed most of its limit is one our own queueing may soon fail.
        if (passed && m_limit > 1)
            --m_limit;
        return;
    }
    // Grow only while tests wait for a place: an idle loop learns nothing about the machine.
    if (m_due.empty() || m_limit >= kMaxRunning)
        return;
    if (++m_growth >= m_limit) {
        ++m_limit; // one more per round of quick ends
        m_growth = 0;
    }
}
