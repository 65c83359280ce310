#pragma once

#include <QString>
#include <QStringList>

// The texts that tell the user where the browser companions stand after an install command.
// Firefox started with the package: the user still has to confirm, and a release build of Firefox
// refuses an unsigned package, so the text never claims an installation it cannot see.
QString FirefoxCompanionNotice(bool firefoxStarted, const QStringList& connectedCompanions);
// How a Chromium-family user loads the unpacked companion beside the program.
QString ChromiumCompanionNotice(const QString& folder, const QStringList& connectedCompanions);
