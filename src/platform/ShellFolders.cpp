// The desktop folders behind SPTools' shell-folder routines. The traditional folder names stay the
// callers' vocabulary; the folders themselves follow the XDG conventions.
#include "platform/Environment.h"
#include "util/SPTools.h"

QString GetCommonShellFolder(const QString& name)
{
    if (name.compare(QLatin1String("Common AppData"), Qt::CaseInsensitive) == 0)
        return platform::commonDataFolder();
    return QString();
}

QString GetShellFolder(const QString& name)
{
    if (name.compare(QLatin1String("AppData"), Qt::CaseInsensitive) == 0)
        return platform::userConfigFolder();
    return GetCommonShellFolder(name);
}
