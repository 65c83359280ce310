#include "platform/Environment.h"

#include <QDir>

namespace platform {

namespace {
QString stripSlash(QString path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}
} // namespace

QString userConfigFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative value.
    if (!xdg.isEmpty() && xdg.startsWith('/'))
        return stripSlash(xdg);
    return stripSlash(QDir::homePath()) + "/.config";
}

QString userCacheFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!xdg.isEmpty() && xdg.startsWith('/'))
        return stripSlash(xdg);
    return stripSlash(QDir::homePath()) + "/.cache";
}

QString commonDataFolder()
{
    const QString overridden = qEnvironmentVariable("VEILPORT_COMMON_DATA_DIR");
    if (!overridden.isEmpty())
        return stripSlash(overridden);
    return "/var/lib";
}

} // namespace platform
