#include "support/BrowserTestHome.h"

#include "config/TSettings.h"

#include <QDir>

namespace testsupport {

BrowserTestHome::BrowserTestHome(const QByteArray& constDat)
{
    auto set = [this](const char* name, const QByteArray& value) {
        m_env.push_back(std::make_unique<ScopedEnv>(name, value));
    };
    QDir().mkpath(m_dir.file(QStringLiteral("config")));
    set("HOME", QFile::encodeName(m_dir.file(QStringLiteral("home"))));
    set("XDG_CONFIG_HOME", QFile::encodeName(configFolder()));
    set("VEILPORT_COMMON_DATA_DIR", QFile::encodeName(m_dir.file(QStringLiteral("common"))));
    set("GSETTINGS_BACKEND", "keyfile");
    // No desktop session and no bus: nothing outside the home may be touched.
    set("DBUS_SESSION_BUS_ADDRESS", "");
    set("XDG_CURRENT_DESKTOP", "");
    set("KDE_FULL_SESSION", "");
    set("http_proxy", "");
    set("HTTP_PROXY", "");

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
    return m_dir.file(QStringLiteral("config"));
}

} // namespace testsupport
