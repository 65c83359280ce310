#include "ui/CompanionNotice.h"

#include "proxy/TBrowserRoutines.h"

namespace {

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
    QString text = firefoxStarted
                       ? QStringLiteral("Firefox was opened with the Veilport companion (%1). Confirm the installation "
                                        "in Firefox.")
                             .arg(TBrowserRoutines::FirefoxInstallArgs().constFirst())
                       : QStringLiteral("Firefox could not be started. The Veilport companion for Firefox is %1.")
                             .arg(TBrowserRoutines::FirefoxInstallArgs().constFirst());
    text += QStringLiteral(
        "\n\nRelease builds of Firefox install only signed extensions. Firefox ESR, Developer Edition and Nightly "
        "install this one once xpinstall.signatures.required is set to false in about:config.");
    text += anyFirefox(connectedCompanions)
                ? QStringLiteral("\n\nThe Firefox companion is connected.")
                : QStringLiteral("\n\nNo Firefox companion is connected yet; until one is, Firefox follows the "
                                 "desktop proxy settings only.");
    return text;
}

QString ChromiumCompanionNotice(const QString& folder, const QStringList& connectedCompanions)
{
    QString text = QStringLiteral("For Chromium, Google Chrome, Brave or Vivaldi: open chrome://extensions, switch on "
                                  "Developer mode, choose \"Load unpacked\" and select the folder %1.")
                       .arg(folder);
    text += anyChromium(connectedCompanions) ? QStringLiteral("\n\nA Chromium-family companion is connected.")
                                             : QStringLiteral("\n\nNo Chromium-family companion is connected yet.");
    return text;
}
