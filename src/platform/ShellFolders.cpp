#include "platform/ShellFolders.h"

#include "platform/Environment.h"

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
