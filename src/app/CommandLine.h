#pragma once

#include <QString>
#include <QStringList>

// Whether any argument is the switch name behind one of the switch characters: the first
// character is one of switchChars and the rest equals name without regard to letter case
// ("-s", "/S"; not "--s"). Every argument is examined, not only the first.
bool FindCmdLineSwitch(const QStringList& args, const QString& name, const QString& switchChars);

// The program's switches.
bool HasStopSwitch(const QStringList& args);
bool HasRestartSwitch(const QStringList& args);
bool HasAutorunSwitch(const QStringList& args);
// "-tor": hide through Tor from now on (the option UseTor is switched on).
bool HasTorSwitch(const QStringList& args);

// Whether a second start hands its first argument to the running copy: there is one and it does
// not begin with "-" or "/".
bool ShouldHandOverFirstArgument(const QStringList& args);

// The GNU-style informational options "--help" and "--version", written exactly so. They are
// apart from the switches above: "--s" stays no switch at all.
bool HasHelpOption(const QStringList& args);
bool HasVersionOption(const QStringList& args);
// "--restore-desktop", written exactly so: the log-in guard's start (no window, no copy of its own).
bool HasRestoreDesktopOption(const QStringList& args);

// The usage text printed by "--help"; program is the name the program was started under.
QString UsageText(const QString& program);
