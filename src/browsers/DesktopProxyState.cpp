#include "browsers/DesktopProxyState.h"

#include "browsers/GnomeProxySettings.h"
#include "browsers/KdeProxySettings.h"
#include "platform/ProxyAddress.h"
#include "util/TIniFile.h"

#include <QFileInfo>

namespace platform {

namespace {

bool gnomeNames(const ProxyAddress& address)
{
    GnomeProxySettings gnome;
    if (!gnome.isAvailable())
        return false;
    const QString schema = QStringLiteral("org.gnome.system.proxy");
    const QString hostSchema =
        address.socks5 ? QStringLiteral("org.gnome.system.proxy.socks") : QStringLiteral("org.gnome.system.proxy.http");
    // Keys read back as GVariant literals; a valid host needs no escapes, so it is quoted as gvariantStringLiteral
    // quotes.
    return gnome.readKey(schema, QStringLiteral("mode")) == QLatin1String("'manual'") &&
           gnome.readKey(hostSchema, QStringLiteral("host")) == gvariantStringLiteral(address.host) &&
           gnome.readKey(hostSchema, QStringLiteral("port")) == QString::number(address.port);
}

bool kdeNames(const ProxyAddress& address)
{
    const KdeProxySettings kde;
    if (!QFileInfo::exists(kde.fileName()))
        return false;
    TIniFile file;
    if (!file.LoadFromFile(kde.fileName(), true))
        return false;
    const QString group = QStringLiteral("Proxy Settings");
    const QString key = address.socks5 ? QStringLiteral("socksProxy") : QStringLiteral("httpProxy");
    const QString scheme = address.socks5 ? QStringLiteral("socks") : QStringLiteral("http");
    return file.ReadString(group, QStringLiteral("ProxyType"), {}) == QLatin1String("1") &&
           file.ReadString(group, key, {}) == QStringLiteral("%1://%2 %3").arg(scheme, address.host).arg(address.port);
}

} // namespace

bool desktopNamesProxy(const QString& proxy)
{
    const ProxyAddress address = ProxyAddress::parse(proxy);
    if (!address.isValid())
        return false;
    return gnomeNames(address) || kdeNames(address);
}

} // namespace platform
