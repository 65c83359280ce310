#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace testsupport {

// Runs this thread's event loop until condition holds or timeoutMs has passed; returns whether it holds,
// looking once more when the time is up so a condition met during the last round still counts. With restMs,
// sleeps that long between two looks, leaving the cores to processes under test instead of spinning.
template <typename Condition> bool waitUntil(Condition&& condition, int timeoutMs = 10000, int restMs = 0)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (restMs > 0)
            QThread::msleep(restMs);
    }
    return true;
}

} // namespace testsupport
