#include "ui/CompanionNotice.h"

#include "i18n/MessageTexts.h"
#include "browsers/TBrowserRoutines.h"
#include "browsers/TCookieClearReport.h"
#include "util/EngineServices.h"
#include "util/SPTools.h"

namespace {

// A message text in the user's language, with %1 filled in.
QString text(const TEngineServices& texts, const char* sentence, const QString& arg = QString())
{
    const QString pattern = texts.LangText(QString::fromUtf8(sentence));
    return arg.isNull() ? pattern : FormatArgs(pattern, {arg});
}

// "place: reason", with the reasons the program itself gives in the user's language; a companion's own
// error text stays as the browser wrote it.
QString placeAndReason(const TEngineServices& texts, const QString& item)
{
    const qsizetype colon = item.lastIndexOf(QStringLiteral(": "));
    if (colon < 0)
        return item;
    const QString reason = item.mid(colon + 2);
    for (const char* own : {MessageText::kInUseByBrowser, MessageText::kCompanionNoAnswer,
                            MessageText::kCompanionDisconnected, MessageText::kCompanionFailed}) {
        if (reason == QLatin1String(own))
            return item.left(colon + 2) + text(texts, own);
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

QString FirefoxCompanionNotice(const TEngineServices& texts, bool firefoxStarted,
                               const QStringList& connectedCompanions)
{
    using namespace MessageText;
    const QString package = TBrowserRoutines::FirefoxInstallArgs().constFirst();
    return text(texts, firefoxStarted ? kFirefoxOpened : kFirefoxNotStarted, package) + QStringLiteral("\n\n") +
           text(texts, kSignedExtensionsOnly) + QStringLiteral("\n\n") +
           text(texts, anyFirefox(connectedCompanions) ? kFirefoxCompanionConnected : kNoFirefoxCompanion);
}

QString ChromiumCompanionNotice(const TEngineServices& texts, const QString& folder,
                                const QStringList& connectedCompanions)
{
    using namespace MessageText;
    return text(texts, kChromiumLoadUnpacked, folder) + QStringLiteral("\n\n") +
           text(texts, anyChromium(connectedCompanions) ? kChromiumCompanionConnected : kNoChromiumCompanion);
}

QString WebRtcCompanionNotice(const TEngineServices& texts, const QStringList& unprotected)
{
    using namespace MessageText;
    QString message = text(texts, kWebRtcNeedsCompanion);
    for (const QString& item : unprotected)
        message += QStringLiteral("\n") + text(texts, kWebRtcUnprotected, item);
    return message;
}

QString CookieClearNotice(const TEngineServices& texts, const TCookieClearReport& report)
{
    using namespace MessageText;
    QStringList cleared;
    if (report.embeddedView)
        cleared << text(texts, kOwnWebView);
    for (const QString& browser : report.companionsCleared)
        cleared << text(texts, kClearedByCompanion, browser);
    for (const QString& profile : report.profilesCleared)
        cleared << text(texts, kClearedClosedProfile, profile);

    QStringList notCleared;
    for (const QString& item : report.companionsFailed + report.profilesSkipped)
        notCleared << placeAndReason(texts, item);

    const QString bullet = QStringLiteral("\n- ");
    QString message = cleared.isEmpty() ? text(texts, kNoCookiesCleared)
                                        : text(texts, kCookiesClearedIn) + bullet + cleared.join(bullet);
    if (!notCleared.isEmpty())
        message += QStringLiteral("\n\n") + text(texts, kNotCleared) + bullet + notCleared.join(bullet);
    if (report.companionsCleared.isEmpty() && report.companionsFailed.isEmpty())
        message += QStringLiteral("\n\n") + text(texts, kNoCompanionToClear);
    return message;
}
