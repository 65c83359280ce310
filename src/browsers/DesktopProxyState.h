#pragma once

#include <QString>

namespace platform {

// Whether the desktop's proxy settings send HTTP through proxy ("host:port") right now: GNOME's
// (where its proxy schema is installed) in manual mode with that host and port, or KDE's
// kioslaverc (where it exists) with a manual proxy of that address. Reads only; an invalid proxy
// text is named nowhere.
bool desktopNamesProxy(const QString& proxy);

} // namespace platform
