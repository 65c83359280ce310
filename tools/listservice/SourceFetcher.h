#pragma once

#include "ServiceConfig.h"
#include "SourceParser.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

// Fetches every configured source on its own refresh interval: http(s) URLs through libcurl, local
// files from disk, each on a short-lived thread of its own and never more than the source's size cap.
// Each outcome comes back on the thread that owns the fetcher as sourceFetched or sourceFailed. Entries of
// sources that are not trusted lose their non-global addresses there too, unless private ones are allowed.
class SourceFetcher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFetchTimeoutMs = 60000;

    SourceFetcher(QList<SourceSetting> sources, int maxEntriesPerSource, bool allowPrivateAddresses,
                  QObject* parent = nullptr);
    ~SourceFetcher() override;

    /// Fetches every source now and then on its interval.
    void start();
    /// Fetches one source now (unless a fetch of it is under way).
    void fetch(int index);
    const QList<SourceSetting>& sources() const { return m_sources; }

signals:
    /// refused: entries dropped because they name no global address.
    void sourceFetched(int index, const SourceParseResult& result, int refused);
    void sourceFailed(int index, const QString& error);

private:
    struct Slot
    {
        std::unique_ptr<QTimer> timer;
        bool busy = false;
        std::shared_ptr<std::atomic_bool> abort;
    };

    void finish(int index, const SourceParseResult& result, int refused);

    QList<SourceSetting> m_sources;
    const int m_maxEntries;
    const bool m_allowPrivate;
    std::vector<Slot> m_slots;
    // Threads hand their results over only while this lives.
    std::shared_ptr<SourceFetcher*> m_self;
};
