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
