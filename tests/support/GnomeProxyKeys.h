#pragma once

#include <QString>

namespace testsupport {

// The GSettings schemas of the desktop's proxy, as tests read them back from the keyfile.
inline const QString kGnomeProxy = QStringLiteral("org.gnome.system.proxy");
inline const QString kGnomeProxyHttp = QStringLiteral("org.gnome.system.proxy.http");
inline const QString kGnomeProxyHttps = QStringLiteral("org.gnome.system.proxy.https");
inline const QString kGnomeProxySocks = QStringLiteral("org.gnome.system.proxy.socks");

} // namespace testsupport
