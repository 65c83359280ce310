#include "support/BrowserTestHome.h"

#include "config/TSettings.h"

#include <QDir>

namespace testsupport {

BrowserTestHome::BrowserTestHome(const QByteArray& constDat) : m_home(m_dir.path())
{
    QDir().mkpath(m_home.config());
    m_home.enter();
    // No desktop session and no bus: nothing outside the home may be touched.
    for (const char* name :
         {"DBUS_SESSION_BUS_ADDRESS", "XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION", "http_proxy", "HTTP_PROXY"})
        m_home.setVariable(name, QByteArray());

    m_dir.write(QStringLiteral("program/const.dat"), constDat);
    DoneSettings();
    InitSettings(m_dir.file(QStringLiteral("program")));
    Settings()->OpenSettingsFile(false);
}

BrowserTestHome::~BrowserTestHome()
{
    DoneSettings();
}

QString BrowserTestHome::configFolder() const
{
    return m_home.config();
}

} // namespace testsupport
