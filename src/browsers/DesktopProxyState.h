#pragma once

#include <QString>

namespace platform {

// Whether the desktop's proxy settings send traffic through proxy right now: GNOME's (where its
// proxy schema is installed) in manual mode with that host and port as its http host
// ("host:port") or its SOCKS host ("socks5://host:port"), or KDE's kioslaverc (where it exists)
// with a manual proxy of that address and kind. Reads only; an invalid proxy text is named nowhere.
bool desktopNamesProxy(const QString& proxy);

} // namespace platform
