#pragma once

#include "browsers/GnomeProxySettings.h"

#include <QString>

namespace testsupport {

// The GSettings schemas of the desktop's proxy, as tests read them back from the keyfile.
inline const QString kGnomeProxy = QStringLiteral("org.gnome.system.proxy");
inline const QString kGnomeProxyHttp = QStringLiteral("org.gnome.system.proxy.http");
inline const QString kGnomeProxyHttps = QStringLiteral("org.gnome.system.proxy.https");
inline const QString kGnomeProxySocks = QStringLiteral("org.gnome.system.proxy.socks");

// What the desktop's proxy is, in one text to compare: "host:port" of the HTTP proxy, "socks5 host:port" when
// only a SOCKS host is set, else the mode as the keyfile holds it ('none').
inline QString desktopProxy(const platform::GnomeProxySettings& gnome)
{
    auto text = [&](const QString& schema, const char* key) {
        QString value = gnome.readKey(schema, QString::fromLatin1(key));
        if (value.size() >= 2 && value.startsWith(u'\'') && value.endsWith(u'\''))
            value = value.mid(1, value.size() - 2);
        return value;
    };
    const QString mode = gnome.readKey(kGnomeProxy, QStringLiteral("mode"));
    if (mode != QLatin1String("'manual'"))
        return mode;
    if (!text(kGnomeProxyHttp, "host").isEmpty())
        return text(kGnomeProxyHttp, "host") + u':' + text(kGnomeProxyHttp, "port");
    return QStringLiteral("socks5 ") + text(kGnomeProxySocks, "host") + u':' + text(kGnomeProxySocks, "port");
}

} // namespace testsupport
