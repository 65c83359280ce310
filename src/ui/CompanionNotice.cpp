#include "ui/CompanionNotice.h"

#include "i18n/MessageTexts.h"
#include "browsers/TBrowserRoutines.h"
#include "browsers/TCookieClearReport.h"
#include "util/EngineServices.h"
#include "util/SPTools.h"

namespace {

// A message text in the user's language, with %1 filled in.
QString text(const char* sentence, const QString& arg = QString())
{
    const QString pattern = EngineServices().LangText(QString::fromUtf8(sentence));
    return arg.isNull() ? pattern : FormatArgs(pattern, {arg});
}

// "place: reason", with the reasons the program itself gives in the user's language; a companion's own
// error text stays as the browser wrote it.
QString placeAndReason(const QString& item)
{
    const qsizetype colon = item.lastIndexOf(QStringLiteral(": "));
    if (colon < 0)
        return item;
    const QString reason = item.mid(colon + 2);
    for (const char* own : {MessageText::kInUseByBrowser, MessageText::kCompanionNoAnswer,
                            MessageText::kCompanionDisconnected, MessageText::kCompanionFailed}) {
        if (reason == QLatin1String(own))
            return item.left(colon + 2) + text(own);
    }
    return item;
}

bool anyFirefox(const QStringList& companions)
{
    return companions.contains(QStringLiteral("firefox"));
}

bool anyChromium(const QStringList& companions)
{
    for (const QString& browser : companions) {
        if (browser != QStringLiteral("firefox"))
            return true;
    }
    return false;
}

} // namespace

QString FirefoxCompanionNotice(bool firefoxStarted, const QStringList& connectedCompanions)
{
    using namespace MessageText;
    const QString package = TBrowserRoutines::FirefoxInstallArgs().constFirst();
    return text(firefoxStarted ? kFirefoxOpened : kFirefoxNotStarted, package) + QStringLiteral("\n\n") +
           text(kSignedExtensionsOnly) + QStringLiteral("\n\n") +
           text(anyFirefox(connectedCompanions) ? kFirefoxCompanionConnected : kNoFirefoxCompanion);
}

QString ChromiumCompanionNotice(const QString& folder, const QStringList& connectedCompanions)
{
    using namespace MessageText;
    return text(kChromiumLoadUnpacked, folder) + QStringLiteral("\n\n") +
           text(anyChromium(connectedCompanions) ? kChromiumCompanionConnected : kNoChromiumCompanion);
}

QString CookieClearNotice(const TCookieClearReport& report)
{
    using namespace MessageText;
    QStringList cleared;
    if (report.embeddedView)
        cleared << text(kOwnWebView);
    for (const QString& browser : report.companionsCleared)
        cleared << text(kClearedByCompanion, browser);
    for (const QString& profile : report.profilesCleared)
        cleared << text(kClearedClosedProfile, profile);

    QStringList notCleared;
    for (const QString& item : report.companionsFailed + report.profilesSkipped)
        notCleared << placeAndReason(item);

    const QString bullet = QStringLiteral("\n- ");
    QString message =
        cleared.isEmpty() ? text(kNoCookiesCleared) : text(kCookiesClearedIn) + bullet + cleared.join(bullet);
    if (!notCleared.isEmpty())
        message += QStringLiteral("\n\n") + text(kNotCleared) + bullet + notCleared.join(bullet);
    if (report.companionsCleared.isEmpty() && report.companionsFailed.isEmpty())
        message += QStringLiteral("\n\n") + text(kNoCompanionToClear);
    return message;
}
