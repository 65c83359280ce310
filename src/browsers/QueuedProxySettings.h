#pragma once

#include "platform/SystemProxySettings.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// Slow settings stores (ones that wait for a disk flush or a settings service, such as GNOME's and
// KDE's) written on one thread of their own, so that the user-interface thread applying a proxy
// never waits for them. In the background every change reaches the stores in the order it was
// made, one store after another, interleaved in that same order with the jobs handed to post();
// flush(), switching the background off and the destructor wait until all are done. With the
// background off (the default) apply() and post() work at once.
class QueuedProxySettings : public SystemProxySettings
{
public:
    // The stores must outlive this object; a change is written to them in this order.
    explicit QueuedProxySettings(SystemProxySettings& store);
    explicit QueuedProxySettings(std::initializer_list<SystemProxySettings*> stores);
    // Writes what is still queued, then ends the thread.
    ~QueuedProxySettings() override;
    QueuedProxySettings(const QueuedProxySettings&) = delete;
    QueuedProxySettings& operator=(const QueuedProxySettings&) = delete;

    // The stores' names, joined by "+".
    QString name() const override;
    // Whether any of the stores is available; only those are written.
    bool isAvailable() const override;
    // In the background: queues the change and returns at once, false only when no store is
    // available (a write that fails later is traced as a warning). Otherwise writes it now.
    using SystemProxySettings::apply;
    bool apply(const QString& proxy, bool https) override;
    // Runs job on the writing thread after every change and job queued before it, and before any
    // queued after it (at once while the background is off). For what must be on disk before the
    // desktop changes.
    void post(std::function<void()> job);
    // Turns writing in the background on or off; off waits for the queue first.
    void setBackground(bool on);
    bool background() const { return m_background; }
    // Waits until every change and job queued so far is done.
    void flush();

private:
    void run();
    bool write(const QString& proxy, bool https);

    std::vector<SystemProxySettings*> m_stores;
    std::atomic_bool m_background{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_queue;
    bool m_writing = false;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace platform
