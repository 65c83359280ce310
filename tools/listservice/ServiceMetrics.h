#pragma once

#include <QtGlobal>

#include <chrono>
#include <deque>

// Counters of what the service did since it started, for /metrics and /health.
struct ServiceMetrics
{
    quint64 requests = 0;
    quint64 listRequests = 0;
    quint64 requestErrors = 0; // answers with a 4xx or 5xx status
    quint64 sourceFetches = 0;
    quint64 sourceErrors = 0;
    quint64 refusedEntries = 0; // source entries naming no global address
    quint64 checks = 0;
    quint64 checksPassed = 0;

    /// Books a finished check.
    void noteCheck(bool passed)
    {
        const qint64 nowMs = monotonicMs();
        ++checks;
        checksPassed += passed ? 1 : 0;
        m_recentChecks.push_back(nowMs);
        trim(nowMs);
    }
    /// Checks finished over the last minute.
    qint64 checksLastMinute()
    {
        trim(monotonicMs());
        return qint64(m_recentChecks.size());
    }
    /// Checks finished per second over the last minute.
    double checksPerSecond()
    {
        trim(monotonicMs());
        return double(m_recentChecks.size()) / (kWindowMs / 1000.0);
    }

private:
    static constexpr qint64 kWindowMs = 60000;
    static qint64 monotonicMs()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void trim(qint64 nowMs)
    {
        while (!m_recentChecks.empty() && m_recentChecks.front() < nowMs - kWindowMs)
            m_recentChecks.pop_front();
    }
    std::deque<qint64> m_recentChecks;
};
