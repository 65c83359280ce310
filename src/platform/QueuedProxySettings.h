#pragma once

#include "platform/SystemProxySettings.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

// A slow settings store (one that waits for a disk flush or a settings service, such as GNOME's)
// that can be written on a thread of its own, so that the user-interface thread applying a
// proxy never waits for it. In the background every change is written in the order it was
// made; flush(), switching the background off and the destructor wait until all are written.
// With the background off (the default) apply() writes at once, as the store itself does.
class QueuedProxySettings : public SystemProxySettings
{
public:
    // store must outlive this object.
    explicit QueuedProxySettings(SystemProxySettings& store);
    // Writes what is still queued, then ends the thread.
    ~QueuedProxySettings() override;
    QueuedProxySettings(const QueuedProxySettings&) = delete;
    QueuedProxySettings& operator=(const QueuedProxySettings&) = delete;

    QString name() const override;
    bool isAvailable() const override;
    // In the background: queues the change and returns at once, false only when the store is not
    // available (a write that fails later is traced as a warning). Otherwise writes it now.
    using SystemProxySettings::apply;
    bool apply(const QString& proxy, bool https) override;
    // Turns writing in the background on or off; off waits for the queue first.
    void setBackground(bool on);
    bool background() const { return m_background; }
    // Waits until every change queued so far has been written.
    void flush();

private:
    void run();

    SystemProxySettings& m_store;
    std::atomic_bool m_background{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    struct Change
    {
        QString proxy;
        bool https = true;
    };
    std::deque<Change> m_queue;
    bool m_writing = false;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace platform
