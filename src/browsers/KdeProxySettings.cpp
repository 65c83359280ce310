#include "browsers/KdeProxySettings.h"

#include "platform/Environment.h"
#include "platform/ProxyAddress.h"
#include "util/TIniFile.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace platform {

namespace {
const QString kGroup = QStringLiteral("Proxy Settings");

bool inKdeSession()
{
    if (!qEnvironmentVariableIsEmpty("KDE_FULL_SESSION"))
        return true;
    const QString desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    return desktops.split(QLatin1Char(':')).contains(QStringLiteral("KDE"), Qt::CaseInsensitive);
}
} // namespace

KdeProxySettings::KdeProxySettings(const QString& configFolder) : m_configFolder(configFolder) {}

QString KdeProxySettings::name() const
{
    return QStringLiteral("kde");
}

QString KdeProxySettings::fileName() const
{
    const QString folder = m_configFolder.isEmpty() ? userConfigFolder() : m_configFolder;
    return QDir(folder).filePath(QStringLiteral("kioslaverc"));
}

bool KdeProxySettings::isAvailable() const
{
    return inKdeSession() || QFileInfo::exists(fileName());
}

bool KdeProxySettings::apply(const QString& proxy, bool https)
{
    QString type = QStringLiteral("0");
    QString httpProxy;
    QString socksProxy;
    if (!proxy.isEmpty()) {
        const ProxyAddress address = ProxyAddress::parse(proxy);
        if (address.isValid()) {
            type = QStringLiteral("1");
            (address.socks5 ? socksProxy : httpProxy) =
                QStringLiteral("%1://%2 %3")
                    .arg(address.socks5 ? QStringLiteral("socks") : QStringLiteral("http"), address.host)
                    .arg(address.port);
        } else {
            qWarning() << "browsers: unusable proxy text for KDE, switching to direct:" << proxy;
        }
    }

    const QString file = fileName();
    // KDE writes its files with LF; a link to the file (dotfiles kept elsewhere) is followed.
    TIniFile ini(TIniFile::LineBreak::Lf);
    // A file that is there but cannot be read (no permission, not a regular file, absurdly large)
    // is left alone: writing the three entries alone in its place would throw the user's settings away.
    if (!ini.LoadFromFile(file, true) && QFileInfo::exists(file)) {
        qWarning() << "browsers: cannot read" << file << "- KDE's proxy settings left as they are";
        return false;
    }
    ini.WriteString(kGroup, QStringLiteral("ProxyType"), type);
    // A cleared proxy keeps the last HTTP address in the file, as KDE's own dialog does.
    // Secure pages go direct unless httpsProxy names a proxy too.
    if (!httpProxy.isEmpty()) {
        ini.WriteString(kGroup, QStringLiteral("httpProxy"), httpProxy);
        ini.WriteString(kGroup, QStringLiteral("httpsProxy"), https ? httpProxy : QString());
    }
    // Browsers take socksProxy for every scheme only while no other proxy is named, and as the fallback of
    // every scheme the others leave out otherwise: a SOCKS5 proxy empties the HTTP entries, and a SOCKS5
    // proxy of ours goes once any other change comes (the user's own is left alone).
    const QString socksKey = QStringLiteral("socksProxy");
    if (!socksProxy.isEmpty()) {
        ini.WriteString(kGroup, QStringLiteral("httpProxy"), QString());
        ini.WriteString(kGroup, QStringLiteral("httpsProxy"), QString());
        ini.WriteString(kGroup, socksKey, socksProxy);
    } else if (!m_socksWritten.isEmpty() && ini.ReadString(kGroup, socksKey, QString()) == m_socksWritten) {
        ini.WriteString(kGroup, socksKey, QString());
    }
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (!ini.SaveToFile(file, true))
        return false;
    m_socksWritten = socksProxy;
    if (!proxy.isEmpty() && type == QLatin1String("0"))
        return false;

    // Without a session bus there is nobody to tell (and asking for one could autolaunch a bus).
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage signal =
            QDBusMessage::createSignal(QStringLiteral("/KIO/Scheduler"), QStringLiteral("org.kde.KIO.Scheduler"),
                                       QStringLiteral("reparseSlaveConfiguration"));
        signal << QString();
        bus.send(signal);
    }
    return true;
}

} // namespace platform
