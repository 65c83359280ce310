#pragma once

#include <QString>
#include <QStringList>

// What one "clear cookies" did, place by place, so the user is told exactly that (CookieClearNotice).
struct TCookieClearReport
{
    // The program's own browsing (embedded view): cleared, or there was none to clear.
    bool embeddedView = false;
    // Browsers whose companion reported their cookies, cache and history cleared.
    QStringList companionsCleared;
    // "browser: reason" for companions that failed, went away or did not answer.
    QStringList companionsFailed;
    // Profiles of closed browsers whose cookie database was cleared directly ("Firefox default").
    QStringList profilesCleared;
    // "profile: reason" for databases left alone (in use by a running browser, unreadable...).
    QStringList profilesSkipped;

    // Whether anything at all was cleared.
    bool anythingCleared() const { return embeddedView || !companionsCleared.isEmpty() || !profilesCleared.isEmpty(); }
};
