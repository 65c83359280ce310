#include "proxy/TCookieClearReport.h"

QString TCookieClearReport::text() const
{
    QStringList cleared;
    if (embeddedView)
        cleared << QStringLiteral("Veilport's own web view");
    for (const QString& browser : companionsCleared)
        cleared << browser + QStringLiteral(" (cookies, cache and history, through its companion)");
    for (const QString& profile : profilesCleared)
        cleared << profile + QStringLiteral(" (cookies, browser closed)");

    QStringList notCleared = companionsFailed;
    notCleared += profilesSkipped;

    QString message = cleared.isEmpty() ? QStringLiteral("No cookies were cleared.")
                                        : QStringLiteral("Your cookies have been cleared in:\n- ") +
                                              cleared.join(QStringLiteral("\n- "));
    if (!notCleared.isEmpty())
        message += QStringLiteral("\n\nNot cleared:\n- ") + notCleared.join(QStringLiteral("\n- "));
    if (companionsCleared.isEmpty() && companionsFailed.isEmpty())
        message += QStringLiteral("\n\nNo browser companion is connected: running browsers were not cleared.");
    return message;
}
