#pragma once

#include "platform/UnixInstanceChannel.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <future>
#include <optional>

namespace testsupport {

// Runs the blocking send on a thread while this thread keeps serving, as two processes would.
inline std::optional<qint32> sendWhileServing(const QString& name, quint32 message, qint32 wParam = 0,
                                              const QByteArray& payload = {}, int timeoutMs = 5000)
{
    auto answer = std::async(std::launch::async, [=] {
        platform::UnixInstanceChannel client;
        return client.send(name, message, wParam, payload, timeoutMs);
    });
    const QDeadlineTimer deadline(timeoutMs + 5000);
    while (answer.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return answer.get();
}

} // namespace testsupport
