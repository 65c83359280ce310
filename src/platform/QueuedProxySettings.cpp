#include "platform/QueuedProxySettings.h"

#include <QDebug>

namespace platform {

QueuedProxySettings::QueuedProxySettings(SystemProxySettings& store) : m_store(store), m_thread([this] { run(); }) {}

QueuedProxySettings::~QueuedProxySettings()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

QString QueuedProxySettings::name() const
{
    return m_store.name();
}

bool QueuedProxySettings::isAvailable() const
{
    return m_store.isAvailable();
}

bool QueuedProxySettings::apply(const QString& proxy, bool https)
{
    if (!m_store.isAvailable())
        return false;
    if (!m_background) {
        // Changes queued before the switch still come first.
        flush();
        return m_store.apply(proxy, https);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({proxy, https});
    }
    m_wake.notify_all();
    return true;
}

void QueuedProxySettings::setBackground(bool on)
{
    m_background = on;
    if (!on)
        flush();
}

void QueuedProxySettings::flush()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_writing; });
}

void QueuedProxySettings::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_queue.empty() || m_quit; });
        if (m_queue.empty())
            return; // quitting with nothing left to write
        const Change change = m_queue.front();
        m_queue.pop_front();
        m_writing = true;
        lock.unlock();
        if (!m_store.apply(change.proxy, change.https))
            qWarning().noquote() << "browsers: could not write the" << m_store.name() << "proxy settings";
        lock.lock();
        m_writing = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

} // namespace platform
