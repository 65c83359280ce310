#include "StoredProxy.h"

double StoredProxy::successRate() const
{
    if (recent.empty())
        return 0;
    int passed = 0;
    for (const CheckRecord& r : recent)
        passed += r.ok ? 1 : 0;
    return double(passed) / double(recent.size());
}

namespace {

// A source that places its proxies itself (the hand-written pool) is believed.
bool sourcePlaces(const SourceEntry& e)
{
    return !e.country.isEmpty() && (!e.longitude.isEmpty() || !e.latitude.isEmpty());
}

} // namespace

QString StoredProxy::country(const QString& fallback) const
{
    if (sourcePlaces(entry))
        return entry.country;
    if (!exitPlace.country.isEmpty())
        return exitPlace.country;
    return entry.country.isEmpty() ? fallback : entry.country;
}

QString StoredProxy::longitude() const
{
    return sourcePlaces(entry) || exitPlace.country.isEmpty() ? entry.longitude : exitPlace.longitude;
}

QString StoredProxy::latitude() const
{
    return sourcePlaces(entry) || exitPlace.country.isEmpty() ? entry.latitude : exitPlace.latitude;
}

double StoredProxy::meanLatency() const
{
    double sum = 0;
    int count = 0;
    for (const CheckRecord& r : recent) {
        if (r.ok) {
            sum += r.latencyMs;
            ++count;
        }
    }
    return count ? sum / count : 1e9;
}
