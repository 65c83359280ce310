#pragma once

#include "net/HttpClient.h"
#include "proxy/ProxyTestJob.h"

#include <curl/curl.h>

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The requests of a tester's thread: every proxy test waits out its start delay, then waits for a place among
// the connection attempts, then runs its plain request and, when asked for, its tunnelled one on one libcurl
// multi handle. Sockets are watched with epoll, so each wake-up costs only the sockets that are ready, however
// many thousands of requests are open. Lives on the thread that drives it and touches nothing of the tester's
// but the shared stop count and the count of tests under way.
class ProxyTransferLoop
{
public:
    // url: the plain test address. wakeFd interrupts wait(); stops counts the stops so far (a test queued
    // before the latest one ends unreported); active is lowered by one as each test ends, reported or not.
    ProxyTransferLoop(const QString& url, int wakeFd, const std::atomic<quint64>& stops, std::atomic_int& active);
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

private:
    struct Transfer;
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
    static bool startsLater(const ProxyTestJob& a, const ProxyTestJob& b);

    // Gives a test whose delay is up its time limit and its first request.
    void startTest(ProxyTestJob job);
    // Starts the transfer's next request (the plain one, or the tunnelled one); fails the test when it cannot.
    void startRequest(std::unique_ptr<Transfer> transfer);
    // A request handle for the transfer's next request with leftMs of its time limit; false when none can be had.
    bool prepareRequest(Transfer& transfer, qint64 leftMs) const;
    // Takes a request off the loop; its test goes on only if the caller starts another request for it.
    std::unique_ptr<Transfer> takeTransfer(CURL* easy);
    // Takes a request off the loop and ends its test unreported.
    void closeTransfer(CURL* easy);
    // Judges one ended request.
    void finishRequest(CURL* easy, CURLcode result);
    void fail(const Transfer& transfer, const QString& reason);
    void pass(const Transfer& transfer);
    // Ends the unreported tests among jobs; they leave the container.
    template <typename Jobs> void dropCutJobs(Jobs& jobs);
    void drainWake();

    const QString m_url;
    const int m_wakeFd;
    const std::atomic<quint64>& m_stops;
    std::atomic_int& m_active;
    CURLM* m_multi = nullptr;
    SocketWatch m_watch;
    std::vector<ProxyTestJob> m_sleeping; // a heap, earliest due first
    std::deque<ProxyTestJob> m_due;       // past their start delay, waiting for a place among connection attempts
    int m_connecting = 0;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> m_open;
    std::vector<ProxyTestOutcome> m_results;
    std::vector<epoll_event> m_events;
};
