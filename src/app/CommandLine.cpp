#include "app/CommandLine.h"

bool FindCmdLineSwitch(const QStringList& args, const QString& name, const QString& switchChars)
{
    for (const QString& arg : args) {
        if (arg.isEmpty() || !switchChars.contains(arg.front()))
            continue;
        if (QStringView(arg).mid(1).compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool HasStopSwitch(const QStringList& args)
{
    return FindCmdLineSwitch(args, QStringLiteral("s"), QStringLiteral("-/"));
}

bool HasRestartSwitch(const QStringList& args)
{
    return FindCmdLineSwitch(args, QStringLiteral("r"), QStringLiteral("-/"));
}

bool HasAutorunSwitch(const QStringList& args)
{
    return FindCmdLineSwitch(args, QStringLiteral("autorun"), QStringLiteral("-/\\"));
}

bool ShouldHandOverFirstArgument(const QStringList& args)
{
    return !args.isEmpty() && !args.front().startsWith(u'-') && !args.front().startsWith(u'/');
}
