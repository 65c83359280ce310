#pragma once

#include "net/HttpClient.h"
#include "proxy/ProxyTestJob.h"
#include "proxy/TunnelRequest.h"

#include <curl/curl.h>

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The requests of a tester's thread: every proxy test waits out its start delay, then waits for a place among
// the tests under way, then runs its plain request and, when asked for, its tunnelled one on one libcurl
// multi handle. Sockets are watched with epoll, so each wake-up costs only the sockets that are ready, however
// many thousands of requests are open. Lives on the thread that drives it and touches nothing of the tester's
// but the shared stop count, the count of tests under way and the caller's cap on tests at once.
//
// How many tests run at once follows what the machine holds: the number grows while tests end well inside
// their limits, shrinks when passes come late (our own queueing shows in every proxy's time), and backs off
// when the system refuses us sockets or buffers (EMFILE, ENFILE, ENOBUFS ...). Such a refusal is not the
// proxy's fault: its test goes back to the queue rather than failing. TLS sessions are shared by every request
// of the loop, so the tunnel tests, which all end at the same service, pay a full handshake only once: they
// speak TLS 1.2, whose sessions every test running at the same time may resume (a TLS 1.3 session is spent
// by one), unless the service turns out to refuse it. While no handshake has left a session lately, only a
// couple of tunnels shake hands and the others wait for their session: a burst of tests all reach their
// tunnel at about the same moment, and each would otherwise cost the service a key exchange of its own.
// The tunnel through an HTTP proxy named by its address is this loop's own request (TunnelRequest), on the same
// sockets watch; libcurl serves the plain requests and the rest.
class ProxyTransferLoop
{
public:
    // url: the plain test address. wakeFd interrupts wait(); stops counts the stops so far (a test queued
    // before the latest one ends unreported); active is lowered by one as each test ends, reported or not.
    // maxRunning caps the tests under way at once (<= 0: only the machine's own limits).
    ProxyTransferLoop(const QString& url, int wakeFd, const std::atomic<quint64>& stops, std::atomic_int& active,
                      const std::atomic_int& maxRunning);
    ~ProxyTransferLoop();
    ProxyTransferLoop(const ProxyTransferLoop&) = delete;
    ProxyTransferLoop& operator=(const ProxyTransferLoop&) = delete;

    // Takes the jobs over; each starts once its start delay is up.
    void add(std::vector<ProxyTestJob>& jobs);
    // Ends every test unreported: sleepers, waiting ones and open requests.
    void dropAll();
    // Ends the tests a stop has cut: their open requests are cut at once, so a proxy that never answers is
    // let go, and sleepers leave now rather than when their delay is up.
    void dropCut();
    // Starts the requests of tests whose delay is up, as far as places among the connection attempts allow.
    void startDue();
    // Sleeps until a socket is ready, libcurl's timer or the next start delay is up, or wakeFd is written
    // to, and lets libcurl serve what is ready.
    void wait();
    // Judges the requests that have ended: a test passes, fails, or goes on with its tunnelled request.
    void collectFinished();
    // Results not yet handed over; the caller takes them out.
    std::vector<ProxyTestOutcome>& results() { return m_results; }
    // Whether a stop came after the job was queued.
    bool cut(const ProxyTestJob& job) const { return job.epoch != m_stops.load(); }
    // How many tests may be under way at once right now.
    int runLimit() const;
    // Tests given back to the queue because the system refused a socket or a buffer.
    int localRefusals() const { return m_localRefusals; }

private:
    struct Transfer;
    // How a request ended, whoever ran it.
    struct RequestEnd
    {
        bool ok = false;
        QByteArray body;
        QString error;
        bool local = false;     // this machine refused the request a resource: the proxy was never asked
        bool timedOut = false;  // it used its whole time limit
        bool tlsFailed = false; // its TLS handshake failed
        qint64 micros = 0;      // how long it took
    };
    struct SocketWatch
    {
        int epoll = -1;
        std::unordered_set<curl_socket_t> watched;
        bool timerSet = false;
        std::chrono::steady_clock::time_point timerDue;
    };

    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* user, void* socketData);
    static int onTimer(CURLM* multi, long timeoutMs, void* user);
    static int onConnected(void* user, char* primaryIp, char* localIp, int primaryPort, int localPort);
    static curl_socket_t onOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address);
    static bool startsLater(const ProxyTestJob& a, const ProxyTestJob& b);

    // Starts the tunnel requests held for a TLS session once one is there, a place among the handshakes is free
    // or they have waited long enough.
    void startHeld();
    // Whether the transfer's request must wait for another's TLS session.
    bool waitsForSession(const Transfer& transfer, std::chrono::steady_clock::time_point now) const;
    bool sessionFresh(std::chrono::steady_clock::time_point now) const;
    // Gives a test whose delay is up its time limit and its first request.
    void startTest(ProxyTestJob job);
    // Starts the transfer's next request (the plain one, or the tunnelled one); fails the test when it cannot.
    void startRequest(std::unique_ptr<Transfer> transfer);
    // A request handle for the transfer's next request with leftMs of its time limit; false when none can be had.
    bool prepareRequest(Transfer& transfer, qint64 leftMs) const;
    // Takes a request off the loop; its test goes on only if the caller starts another request for it.
    std::unique_ptr<Transfer> takeTransfer(CURL* easy);
    // The transfer no longer holds a place among the connection attempts or the session makers.
    void releasePlaces(Transfer& transfer);
    // Takes a request off the loop and ends its test unreported.
    void closeTransfer(CURL* easy);
    // Judges one ended request of libcurl's.
    void finishRequest(CURL* easy, CURLcode result);
    // Judges an ended request: the test passes, fails, goes on with its tunnel or back to the queue.
    void judge(std::unique_ptr<Transfer> transfer, RequestEnd end);
    // Whether the transfer's tunnel is this loop's own request (an HTTP proxy named by its address).
    bool ownsTunnel(const Transfer& transfer);
    void startOwnTunnel(std::unique_ptr<Transfer> transfer, qint64 leftMs);
    // Lets an own tunnel move on after its socket woke, and judges it once it has ended.
    void advanceOwnTunnel(int fd);
    // Ends the own tunnels whose time is up.
    void expireOwnTunnels(std::chrono::steady_clock::time_point now);
    std::unique_ptr<Transfer> takeOwnTunnel(int fd);
    // Requests under way, libcurl's and our own.
    int openCount() const { return int(m_open.size() + m_ownTunnels.size()); }
    // Whether the request ended because this machine refused it a resource.
    static bool refusedLocally(const Transfer& transfer, CURLcode result, long osErrno);
    static bool refusedLocally(int error);
    // Gives the test back to the queue after a local refusal and runs fewer tests at once.
    void requeue(std::unique_ptr<Transfer> transfer);
    // Whether a failed tunnel request tells that the service refuses TLS 1.2; then the test is tried again.
    bool tunnelRefusedTls12(const Transfer& transfer, bool tlsFailed);
    // Adapts the number of tests at once to a test that ended by the proxy's answer after tookMs of limitMs.
    void adapt(qint64 tookMs, int limitMs, bool passed);
    void fail(const Transfer& transfer, const QString& reason);
    void pass(const Transfer& transfer);
    // Ends the unreported tests among jobs; they leave the container.
    template <typename Jobs> void dropCutJobs(Jobs& jobs);
    void drainWake();

    const QString m_url;
    const int m_wakeFd;
    const std::atomic<quint64>& m_stops;
    std::atomic_int& m_active;
    const std::atomic_int& m_maxRunning;
    CURLM* m_multi = nullptr;
    CURLSH* m_share = nullptr;
    SocketWatch m_watch;
    std::vector<ProxyTestJob> m_sleeping; // a heap, earliest due first
    std::deque<ProxyTestJob> m_due;       // past their start delay, waiting for a place among the tests
    int m_connecting = 0;
    int m_limit;      // tests at once for now
    int m_growth = 0; // quick ends counted towards the next place
    int m_localRefusals = 0;
    // TLS 1.2 for the tunnel tests: tried until a test passes with it (then kept) or the service refuses it.
    enum class TunnelTls
    {
        Trying,
        Kept,
        Dropped
    };
    TunnelTls m_tunnelTls = TunnelTls::Trying;
    int m_tls12Failures = 0; // tunnel handshakes failed while trying
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> m_open;
    std::deque<std::unique_ptr<Transfer>> m_awaitingSession; // tunnel requests held for a TLS session, oldest first
    int m_sessionMakers = 0;                                 // tunnel handshakes under way without one
    std::chrono::steady_clock::time_point m_sessionAt;       // the latest TLS 1.2 tunnel handshake that ended well
    // The own tunnels by socket, and when each one's time is up.
    std::unordered_map<int, std::unique_ptr<Transfer>> m_ownTunnels;
    std::set<std::pair<std::chrono::steady_clock::time_point, int>> m_ownDeadlines;
    SSL_CTX* m_tlsContext = nullptr;     // shared by the own tunnels
    SSL_SESSION* m_tlsSession = nullptr; // the latest TLS 1.2 session an own tunnel made, offered to the next ones
    QString m_tunnelUrl;                 // the address m_tunnelTarget was parsed from
    TunnelTarget m_tunnelTarget;
    bool m_tunnelTargetValid = false;
    std::vector<ProxyTestOutcome> m_results;
    std::vector<epoll_event> m_events;
};
