#include "browsers/TBrowserRoutines.h"

#include "browsers/BrowserWriteError.h"
#include "config/TSettings.h"
#include "platform/Environment.h"
#include "platform/ProxyAddress.h"
#include "util/TIniFile.h"

#include <QDir>
#include <QFileInfo>

QString TBrowserRoutines::OperaProfileFile()
{
    return QDir(platform::userConfigFolder()).filePath(QStringLiteral("Opera/Opera/profile/opera6.ini"));
}

void TBrowserRoutines::SetOperaProxy(const QString& proxy)
{
    if (!m_platform.settings)
        return;
    QString p = proxy;
    if (!m_platform.settings->ReadBool(QStringLiteral("OPERA"), true))
        p.clear();
    // Opera's profile has HTTP, HTTPS and FTP proxies only: handed a SOCKS5 one as its HTTP proxy it would load
    // nothing, so it is switched off, as for no proxy, rather than left on an earlier proxy.
    if (platform::ProxyAddress::hasSocks5Scheme(p)) {
        qCInfo(lcBrowsers).noquote() << "Opera cannot use the SOCKS5 proxy" << p << "- its proxy is switched off";
        p.clear();
    }
    const QString fileName = OperaProfileFile();
    // Opera creates its own profile; a file made here would only confuse it.
    if (!QFileInfo(fileName).isFile())
        return;

    const QString error = QStringLiteral("Unable to write to %1").arg(fileName);
    // The profile is the user's own: a link to it is followed, to read and to write.
    TIniFile ini;
    if (!ini.LoadFromFile(fileName, true))
        throw EBrowserWriteError(error);
    const QString section = QStringLiteral("Proxy");
    ini.WriteString(section, QStringLiteral("Use HTTP"), p.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    ini.WriteString(section, QStringLiteral("HTTP server"), p);
    ini.WriteString(section, QStringLiteral("No Proxy Servers"), QString());
    // All three entries reach the disk in one replacement, or none of them does.
    if (!ini.SaveToFile(fileName, true))
        throw EBrowserWriteError(error);
}
