#pragma once

#include "StoredProxy.h"

#include <QElapsedTimer>
#include <QSet>

#include <map>
#include <memory>
#include <vector>

// Every proxy that ever passed, best first (success rate over the recent checks, then latency), as the list
// answers read it. Sorting a hundred thousand proxies takes longer than an answer may, so after the first
// ranking the sort runs on a pool thread and the new order is swapped in when it is ready; until then the
// last one is served. The ranking points into the store's proxies: one the store forgets is skipped from
// then on, and never looked at again.
class ProxyRanking
{
public:
    ProxyRanking();
    ~ProxyRanking();
    ProxyRanking(const ProxyRanking&) = delete;
    ProxyRanking& operator=(const ProxyRanking&) = delete;

    /// The order to serve, asking for a fresh one once this one is refreshMs old.
    const std::vector<const StoredProxy*>& order(const std::map<qint64, StoredProxy>& proxies, qint64 refreshMs);
    /// Whether an entry of order() has been forgotten since; such an entry must not be read.
    bool gone(const StoredProxy* proxy) const { return m_gone.contains(proxy); }
    /// The store is about to free this proxy.
    void forget(const StoredProxy* proxy);
    /// Every proxy was replaced: nothing ranked before may be served.
    void reset();

private:
    struct Scored
    {
        double rate;
        double latency;
        qint64 id;
        const StoredProxy* proxy;
    };
    static std::vector<Scored> score(const std::map<qint64, StoredProxy>& proxies);
    static std::vector<const StoredProxy*> sorted(std::vector<Scored> scored);
    void adopt(quint64 generation, std::vector<const StoredProxy*> order);

    std::vector<const StoredProxy*> m_order;
    QSet<const StoredProxy*> m_gone;          // forgotten since m_order was scored
    QSet<const StoredProxy*> m_goneMeanwhile; // forgotten since the ranking under way was scored
    bool m_building = false;
    quint64 m_generation = 0;
    QElapsedTimer m_age;
    // Lets a ranking that finishes after this object went find nobody; read and cleared on this thread only.
    std::shared_ptr<ProxyRanking*> m_self;
};
