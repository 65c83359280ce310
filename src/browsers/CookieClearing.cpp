#include "browsers/TBrowserRoutines.h"

#include "browsers/CompanionHub.h"
#include "browsers/ProfileCookieCleaner.h"
#include "browsers/TCookieClearReport.h"
#include "platform/UrlCache.h"
#include "util/MainThreadQueue.h"

#include <QHash>
#include <QThreadPool>
#include <QTimer>

#include <memory>

void TBrowserRoutines::ClearIECookies()
{
    clearOwnBrowsing();
}

bool TBrowserRoutines::clearOwnBrowsing()
{
    platform::UrlCache* cache = m_platform.urlCache;
    if (!cache) {
        qCDebug(lcBrowsers) << "no browsing cache to clear";
        return false;
    }
    constexpr quint32 deletable =
        platform::UrlCache::CookieEntry | platform::UrlCache::UrlHistoryEntry | platform::UrlCache::NormalEntry;
    const QList<platform::UrlCacheEntry> entries = cache->entries();
    qCDebug(lcBrowsers) << "clearing the web view's cookies, history and cached pages:" << entries.size() << "entries";
    for (const platform::UrlCacheEntry& entry : entries) {
        if (entry.entryType & deletable) {
            qCDebug(lcBrowsers).noquote() << "deleting" << entry.sourceUrl;
            cache->deleteEntry(entry.sourceUrl);
        } else {
            qCDebug(lcBrowsers).noquote() << "keeping" << entry.sourceUrl;
        }
    }
    qCDebug(lcBrowsers) << "web view cache cleared";
    return true;
}

namespace {

// Clears the profiles of closed browsers on a pool thread (file and database work) and hands the
// result to done on the user-interface thread.
void clearClosedProfiles(std::function<void(const ProfileCookieCleaner::Result&)> done)
{
    QThreadPool::globalInstance()->start([done = std::move(done)] {
        const ProfileCookieCleaner::Result result = ProfileCookieCleaner::clear(ProfileCookieCleaner::findProfiles());
        PostToMainThread([done, result] { done(result); });
    });
}

} // namespace

void TBrowserRoutines::ClearFirefoxCookies()
{
    // The program's own browsing has its own step (ClearIECookies); this one is the browsers'.
    clearBrowsers(false, [](const TCookieClearReport& report) {
        for (const QString& place : report.companionsCleared + report.profilesCleared)
            qCInfo(lcBrowsers) << "cookies cleared:" << place;
        for (const QString& failure : report.companionsFailed + report.profilesSkipped)
            qCWarning(lcBrowsers) << "cookies not cleared:" << failure;
    });
}

void TBrowserRoutines::ClearBrowserCookies(std::function<void(const TCookieClearReport&)> done)
{
    clearBrowsers(true, std::move(done));
}

void TBrowserRoutines::clearBrowsers(bool ownBrowsing, std::function<void(const TCookieClearReport&)> done)
{
    struct Pending
    {
        TCookieClearReport report;
        QList<ProfileCookieCleaner::Skipped> skipped;
        int waiting = 2;
        std::function<void(const TCookieClearReport&)> done;

        void finishOne()
        {
            if (--waiting > 0)
                return;
            // A companion clears only the profile its browser runs it in, and no one can tell which profile
            // that is. So a running browser's locked profiles count as cleared only when as many of its
            // companions cleared as it has profiles locked; otherwise every one of them is reported.
            QHash<QString, int> locked;
            for (const ProfileCookieCleaner::Skipped& profile : std::as_const(skipped)) {
                if (profile.inUse)
                    ++locked[profile.family];
            }
            for (const ProfileCookieCleaner::Skipped& profile : std::as_const(skipped)) {
                if (!profile.inUse || report.companionsCleared.count(profile.family) < locked.value(profile.family))
                    report.profilesSkipped << profile.text;
            }
            done(report);
        }
    };
    auto pending = std::make_shared<Pending>();
    pending->done = std::move(done);
    if (ownBrowsing)
        pending->report.embeddedView = clearOwnBrowsing();

    clearClosedProfiles([pending](const ProfileCookieCleaner::Result& result) {
        pending->report.profilesCleared = result.cleared;
        pending->skipped = result.skipped;
        pending->finishOne();
    });
    if (!m_platform.companions) {
        QTimer::singleShot(0, [pending] { pending->finishOne(); });
        return;
    }
    m_platform.companions->clearBrowsingData([pending](const CompanionClearOutcome& outcome) {
        pending->report.companionsCleared = outcome.cleared;
        pending->report.companionsFailed = outcome.failed;
        pending->finishOne();
    });
}
