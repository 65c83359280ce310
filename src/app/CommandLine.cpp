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

bool HasTorSwitch(const QStringList& args)
{
    return FindCmdLineSwitch(args, QStringLiteral("tor"), QStringLiteral("-/"));
}

bool ShouldHandOverFirstArgument(const QStringList& args)
{
    return !args.isEmpty() && !args.front().startsWith(u'-') && !args.front().startsWith(u'/');
}

bool HasHelpOption(const QStringList& args)
{
    return args.contains(QStringLiteral("--help"));
}

bool HasVersionOption(const QStringList& args)
{
    return args.contains(QStringLiteral("--version"));
}

bool HasRestoreDesktopOption(const QStringList& args)
{
    return args.contains(QStringLiteral("--restore-desktop"));
}

QString UsageText(const QString& program)
{
    return QStringLiteral("Usage: %1 [-s | -r] [-autorun] [-tor] [file]\n"
                          "       %1 --help | --version | --restore-desktop\n"
                          "Hide your IP address from web sites behind a tested anonymous proxy.\n"
                          "\n"
                          "  -s, /s          ask the running copy to close, then end\n"
                          "  -r, /r          ask the running copy to close, wait two seconds, then start\n"
                          "  -autorun        start in the tray, or minimised where there is no tray\n"
                          "                  (also /autorun, \\autorun; the log-in start uses it)\n"
                          "  -tor, /tor      hide through Tor instead of listed proxies from now on\n"
                          "                  (the option of the settings dialog)\n"
                          "  --help          print this text and end\n"
                          "  --version       print the version and end\n"
                          "  --restore-desktop  when no copy runs and the desktop still uses the proxy Veilport\n"
                          "                  applied last, return it to a direct connection, then end\n"
                          "\n"
                          "Switches may be written in any letter case. A second start brings the running copy\n"
                          "to the front and hands it a first argument that does not begin with - or /.\n")
        .arg(program);
}
