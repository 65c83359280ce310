#include "browsers/QueuedProxySettings.h"

#include <QDebug>
#include <QStringList>

#include <algorithm>

namespace platform {

QueuedProxySettings::QueuedProxySettings(SystemProxySettings& store) : QueuedProxySettings({&store}) {}

QueuedProxySettings::QueuedProxySettings(std::initializer_list<SystemProxySettings*> stores)
    : m_stores(stores), m_thread([this] { run(); })
{
}

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
    QStringList names;
    for (const SystemProxySettings* store : m_stores)
        names << store->name();
    return names.join(QLatin1Char('+'));
}

bool QueuedProxySettings::isAvailable() const
{
    return std::any_of(m_stores.cbegin(), m_stores.cend(),
                       [](const SystemProxySettings* store) { return store->isAvailable(); });
}

bool QueuedProxySettings::write(const QString& proxy, bool https)
{
    bool all = true;
    for (SystemProxySettings* store : m_stores) {
        if (!store->isAvailable())
            continue;
        if (!store->apply(proxy, https)) {
            all = false;
            if (m_background)
                qWarning().noquote() << "browsers: could not write the" << store->name() << "proxy settings";
        }
    }
    return all;
}

bool QueuedProxySettings::apply(const QString& proxy, bool https)
{
    if (!isAvailable())
        return false;
    if (!m_background) {
        // Changes queued before the switch still come first.
        flush();
        return write(proxy, https);
    }
    post([this, proxy, https] { write(proxy, https); });
    return true;
}

void QueuedProxySettings::post(std::function<void()> job)
{
    if (!m_background) {
        flush();
        job();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(job));
    }
    m_wake.notify_all();
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
        const std::function<void()> job = std::move(m_queue.front());
        m_queue.pop_front();
        m_writing = true;
        lock.unlock();
        job();
        lock.lock();
        m_writing = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

} // namespace platform
