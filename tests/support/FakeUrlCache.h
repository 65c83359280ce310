#pragma once

#include "platform/UrlCache.h"

#include <QStringList>

namespace testsupport {

// A browsing cache held in memory: tests fill it with entries of any type and read back what
// was deleted and what stayed.
class FakeUrlCache : public platform::UrlCache
{
public:
    void add(const QString& sourceUrl, quint32 entryType) { m_entries.append({sourceUrl, entryType}); }

    QList<platform::UrlCacheEntry> entries() const override { return m_entries; }

    bool deleteEntry(const QString& sourceUrl) override
    {
        m_deleted.append(sourceUrl);
        return m_entries.removeIf([&](const platform::UrlCacheEntry& e) { return e.sourceUrl == sourceUrl; }) > 0;
    }

    QStringList remaining() const
    {
        QStringList list;
        for (const platform::UrlCacheEntry& e : m_entries)
            list.append(e.sourceUrl);
        return list;
    }
    const QStringList& deleted() const { return m_deleted; }

private:
    QList<platform::UrlCacheEntry> m_entries;
    QStringList m_deleted;
};

} // namespace testsupport
