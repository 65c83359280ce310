#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

namespace testsupport {

// Runs this thread's event loop until condition holds or timeoutMs has passed; returns whether it holds,
// looking once more when the time is up so a condition met during the last round still counts. Between two
// looks the thread sleeps until an event comes, and at most a couple of milliseconds, so that a condition
// another thread or process changes is seen soon while the cores stay with the processes under test rather
// than with a test spinning on one. With restMs, it sleeps that long between two looks whatever comes, for
// conditions that are costly to look at.
template <typename Condition> bool waitUntil(Condition&& condition, int timeoutMs = 10000, int restMs = 0)
{
    constexpr int kLongestUnwokenMs = 2;
    const QDeadlineTimer deadline(timeoutMs);
    // A thread without an event loop of its own (one a test started itself) can only sleep between its looks.
    const bool sleepOnEvents = restMs <= 0 && QAbstractEventDispatcher::instance() != nullptr;
    QTimer wake;
    if (sleepOnEvents)
        wake.start(kLongestUnwokenMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        if (sleepOnEvents) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(restMs > 0 ? restMs : kLongestUnwokenMs);
        }
    }
    return true;
}

} // namespace testsupport
