#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <time.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace testsupport {

// A field of /proc/<pid>/status ("VmRSS", "VmHWM") in MB; pid 0 is this process; -1 when unreadable.
// The file is read whole: files under /proc report no size.
inline double processStatusMb(qint64 pid, const char* field)
{
    QFile status(pid == 0 ? QStringLiteral("/proc/self/status") : QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// How long the event loop of the calling thread went without running a timer of intervalMs, beyond
// that interval: the longest gap, when it began, how much of it the thread itself ran (near the gap:
// the thread was busy; far below: it waited for a core or a lock), and the gap 99 % of the turns
// stayed under. onTick, when set, runs at every turn (to sample memory, say).
class StallMeter
{
public:
    explicit StallMeter(int intervalMs) : m_intervalMs(intervalMs)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(intervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            tick();
            if (onTick)
                onTick();
        });
    }

    void start()
    {
        m_clock.start();
        m_lastNs = 0;
        m_lastCpuNs = threadCpuNs();
        m_maxGapNs = 0;
        m_maxGapAtNs = 0;
        m_maxGapCpuNs = 0;
        m_gapsNs.clear();
        m_gapStartsNs.clear();
        m_timer.start();
    }
    void stop()
    {
        tick();
        m_timer.stop();
    }

    double maxStallMs() const { return std::max(0.0, m_maxGapNs / 1e6 - m_intervalMs); }
    // When the longest gap began, in ms since start().
    double maxStallAtMs() const { return m_maxGapAtNs / 1e6; }
    double maxStallCpuMs() const { return m_maxGapCpuNs / 1e6; }
    double stallP99Ms() const
    {
        if (m_gapsNs.empty())
            return 0;
        std::vector<qint64> gaps = m_gapsNs;
        const size_t at = gaps.size() * 99 / 100;
        std::nth_element(gaps.begin(), gaps.begin() + qsizetype(at), gaps.end());
        return std::max(0.0, gaps[at] / 1e6 - m_intervalMs);
    }
    // Every gap longer than thresholdMs as "start+length" in ms.
    QStringList gapsOver(double thresholdMs) const
    {
        QStringList gaps;
        for (size_t i = 0; i < m_gapsNs.size(); ++i) {
            if (m_gapsNs[i] > thresholdMs * 1e6)
                gaps
                    << QStringLiteral("%1+%2").arg(m_gapStartsNs[i] / 1e6, 0, 'f', 0).arg(m_gapsNs[i] / 1e6, 0, 'f', 0);
        }
        return gaps;
    }

    std::function<void()> onTick;

private:
    static qint64 threadCpuNs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
    }
    void tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        const qint64 gap = now - m_lastNs;
        if (gap > m_maxGapNs) {
            m_maxGapNs = gap;
            m_maxGapAtNs = m_lastNs;
            m_maxGapCpuNs = cpu - m_lastCpuNs;
        }
        m_gapsNs.push_back(gap);
        m_gapStartsNs.push_back(m_lastNs);
        m_lastNs = now;
        m_lastCpuNs = cpu;
    }

    int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_lastCpuNs = 0;
    qint64 m_maxGapNs = 0;
    qint64 m_maxGapAtNs = 0;
    qint64 m_maxGapCpuNs = 0;
    std::vector<qint64> m_gapsNs;
    std::vector<qint64> m_gapStartsNs;
};

} // namespace testsupport
