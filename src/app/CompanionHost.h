#pragma once

#include <QString>
#include <QStringList>

// The native messaging host that a browser starts for the companion extension: it relays the
// extension's messages (stdin/stdout) to the running program over the single-instance channel and
// the program's back, checking the framing and size of every message on the way.
class CompanionHost
{
public:
    // The browser family that started the host ("firefox" or "chromium") from its arguments
    // (Firefox: manifest path and extension id; Chromium: the extension's origin); empty when the
    // caller is not our extension.
    static QString callerBrowser(const QStringList& args);
    // The running program's channel name, from const.dat and oem.dat in programFolder.
    static QString instanceName(const QString& programFolder);
    // Relays until either side ends or sends something that is not a companion message; the exit code.
    static int relay(int browserIn, int browserOut, int session);
    // The whole host: checks the caller, opens the session, relays.
    static int run(const QStringList& args, const QString& programFolder);
};
