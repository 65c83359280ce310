#include "browsers/TBrowserRoutines.h"

#include "browsers/BrowserWriteError.h"
#include "config/TSettings.h"
#include "platform/Environment.h"
#include "platform/PrivateProfileFile.h"

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
    const QString fileName = OperaProfileFile();
    // Opera creates its own profile; a file made here would only confuse it.
    if (!QFileInfo(fileName).isFile())
        return;

    const QString error = QStringLiteral("Unable to write to %1").arg(fileName);
    platform::PrivateProfileFile ini;
    if (!ini.load(fileName))
        throw EBrowserWriteError(error);
    const QString section = QStringLiteral("Proxy");
    ini.setValue(section, QStringLiteral("Use HTTP"), p.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    ini.setValue(section, QStringLiteral("HTTP server"), p);
    ini.setValue(section, QStringLiteral("No Proxy Servers"), QString());
    // All three entries reach the disk in one replacement, or none of them does.
    if (!ini.save(fileName))
        throw EBrowserWriteError(error);
}
