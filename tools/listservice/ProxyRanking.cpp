#include "ProxyRanking.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <algorithm>

ProxyRanking::ProxyRanking() : m_self(std::make_shared<ProxyRanking*>(this)) {}

ProxyRanking::~ProxyRanking()
{
    *m_self = nullptr;
}

std::vector<ProxyRanking::Scored> ProxyRanking::score(const std::map<qint64, StoredProxy>& proxies)
{
    std::vector<Scored> scored;
    scored.reserve(proxies.size());
    for (const auto& [id, p] : proxies) {
        if (p.lastOk > 0)
            scored.push_back({p.successRate(), p.meanLatency(), id, &p});
    }
    return scored;
}

std::vector<const StoredProxy*> ProxyRanking::sorted(std::vector<Scored> scored)
{
    // Reads only the copied figures: the proxies themselves may change meanwhile on the store's thread.
    std::sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
        if (a.rate != b.rate)
            return a.rate > b.rate;
        return a.latency != b.latency ? a.latency < b.latency : a.id < b.id;
    });
    std::vector<const StoredProxy*> order;
    order.reserve(scored.size());
    for (const Scored& s : scored)
        order.push_back(s.proxy);
    return order;
}

const std::vector<const StoredProxy*>& ProxyRanking::order(const std::map<qint64, StoredProxy>& proxies,
                                                           qint64 refreshMs)
{
    const bool stale = !m_age.isValid() || m_age.elapsed() >= refreshMs;
    if (!stale || m_building)
        return m_order;
    QCoreApplication* app = QCoreApplication::instance();
    if (!m_age.isValid() || !app) {
        // Nothing to serve yet (or no event loop to hand a result back): ranked here and now.
        m_order = sorted(score(proxies));
        m_gone.clear();
        m_age.start();
        return m_order;
    }
    m_building = true;
    m_goneMeanwhile.clear();
    QThreadPool::globalInstance()->start(
        [scored = score(proxies), self = m_self, generation = m_generation, app]() mutable {
            std::vector<const StoredProxy*> order = sorted(std::move(scored));
            QMetaObject::invokeMethod(
                app,
                [self, generation, order = std::move(order)]() mutable {
                    if (*self)
                        (*self)->adopt(generation, std::move(order));
                },
                Qt::QueuedConnection);
        });
    return m_order;
}

void ProxyRanking::adopt(quint64 generation, std::vector<const StoredProxy*> order)
{
    if (generation != m_generation)
        return; // scored from proxies that have all been replaced since
    m_building = false;
    if (!m_goneMeanwhile.isEmpty())
        order.erase(std::remove_if(order.begin(), order.end(),
                                   [this](const StoredProxy* p) { return m_goneMeanwhile.contains(p); }),
                    order.end());
    m_order = std::move(order);
    // An address forgotten meanwhile may hold a new proxy by now, which this order does not name.
    m_gone.clear();
    m_age.start();
}

void ProxyRanking::forget(const StoredProxy* proxy)
{
    if (!m_order.empty())
        m_gone.insert(proxy);
    if (m_building)
        m_goneMeanwhile.insert(proxy);
}

void ProxyRanking::reset()
{
    ++m_generation;
    m_building = false;
    m_order.clear();
    m_gone.clear();
    m_goneMeanwhile.clear();
    m_age.invalidate();
}
