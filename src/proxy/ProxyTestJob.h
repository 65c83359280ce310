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
    // A test not finished this long after its start delay has failed (<= 0: no limit).
    int timeoutMs = 15000;
};

// One proxy test as the tester's thread holds it from hand-over to result.
struct ProxyTestJob
{
    QString host;
    int port = 0;
    TProxyKind kind = TProxyKind::Http;
    std::chrono::steady_clock::time_point due;
    quint64 seq = 0;   // the ticket, in order of hand-over
    quint64 epoch = 0; // the stops counted when it was queued
    std::shared_ptr<const TProxyTestCriteria> criteria;
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
