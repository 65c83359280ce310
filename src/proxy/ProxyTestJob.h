#pragma once

#include "proxy/ProxyJudgement.h"
#include "proxy/ProxyKind.h"

#include <QString>

#include <chrono>
#include <memory>

// What a proxy must show to pass, fixed for each test when it is handed over.
struct TProxyTestCriteria
{
    // An https address asked for through a CONNECT tunnel of the proxy after the plain test; empty: none.
    QString tunnelUrl;
    // The user's own address as the service sees it; a proxy that shows it to the service fails.
    QString localAddress;
    // A test not finished this long after its first request went out has failed (<= 0: no limit). Waiting for
    // a place among the tester's requests does not count: that is the machine's delay, not the proxy's.
    int timeoutMs = 15000;
    // The limit for a proxy never seen alive (<= 0: timeoutMs). Most never-seen proxies of a public list are dead,
    // and each one holds a place as long as its limit; one that answered before has earned the longer wait.
    int firstContactTimeoutMs = 0;
};

// One proxy test as the tester's thread holds it from hand-over to result.
struct ProxyTestJob
{
    QString host;
    int port = 0;
    TProxyKind kind = TProxyKind::Http;
    std::chrono::steady_clock::time_point due;
    quint64 seq = 0;        // the ticket, in order of hand-over
    quint64 epoch = 0;      // the stops counted when it was queued
    bool seenAlive = false; // the proxy passed a test before, here or for whoever handed it over
    int requeues = 0;       // times this machine refused the test resources and it went back to the queue
    std::shared_ptr<const TProxyTestCriteria> criteria;

    // The time limit of this test in ms (<= 0: none).
    int timeLimitMs() const
    {
        if (!criteria)
            return 0;
        const int first = criteria->firstContactTimeoutMs;
        if (seenAlive || first <= 0 || (criteria->timeoutMs > 0 && first >= criteria->timeoutMs))
            return criteria->timeoutMs;
        return first;
    }
};

// The result of one proxy test, on its way to the user-interface thread.
struct ProxyTestOutcome
{
    ProxyTestJob job;
    bool success = false;
    QString response;
    quint32 elapsed = 0;
    ProxyJudgement judgement;
};
