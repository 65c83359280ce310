#pragma once

#include <QString>
#include <QStringList>

struct TCookieClearReport;
class TEngineServices;

// The texts that tell the user where the browser companions stand, in the user's language (texts: the
// language texts).
// Firefox started with the package: the user still has to confirm, and a release build of Firefox
// refuses an unsigned package, so the text never claims an installation it cannot see.
QString FirefoxCompanionNotice(const TEngineServices& texts, bool firefoxStarted,
                               const QStringList& connectedCompanions);
// How a Chromium-family user loads the unpacked companion beside the program.
QString ChromiumCompanionNotice(const TEngineServices& texts, const QString& folder,
                                const QStringList& connectedCompanions);
// That WebRTC is kept to the proxy only in a browser with its companion, and in which connected browsers it is not
// ("browser: reason", as the companions' hub gives them).
QString WebRtcCompanionNotice(const TEngineServices& texts, const QStringList& unprotected);
// What one "clear cookies" cleared, where, and what it could not clear.
QString CookieClearNotice(const TEngineServices& texts, const TCookieClearReport& report);
