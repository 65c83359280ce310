#pragma once

#include <QList>
#include <QString>

namespace platform {

// One entry of a browsing cache: what it came from and what kind of entry it is.
struct UrlCacheEntry
{
    QString sourceUrl;
    quint32 entryType = 0;
};

// The cache of cookies, visited pages and downloaded pages that the program's own browsing
// shares. The entry-type bits are those every caller decides by.
class UrlCache
{
public:
    static constexpr quint32 NormalEntry = 0x00000001;
    static constexpr quint32 CookieEntry = 0x00100000;
    static constexpr quint32 UrlHistoryEntry = 0x00200000;

    virtual ~UrlCache() = default;

    // A snapshot of the entries now in the cache.
    virtual QList<UrlCacheEntry> entries() const = 0;
    // Removes the entry with this source; false when there is none or it cannot be removed.
    virtual bool deleteEntry(const QString& sourceUrl) = 0;
};

} // namespace platform
