#pragma once

#include <QString>
#include <QStringList>

class TSettings;

// How Veilport runs its own tor.
struct TorOptions
{
    // The tor executable; empty looks for "tor" on PATH and in /usr/sbin and /usr/bin.
    QString program;
    // tor's data folder (created with mode 0700); it also holds the cookie and the control port file.
    QString dataFolder;
    // How long tor may take from its start to a finished bootstrap.
    int bootstrapTimeoutMs = 120000;
    // How long a command on the control port may wait for its answer.
    int controlTimeoutMs = 30000;
    // The page that tells the address under which sites see a Tor user (JSON {"IsTor":…,"IP":…}).
    QString checkUrl;
    // More configuration lines for tor, "Key value" each, after Veilport's own; a key given twice gives two
    // lines. For tests and private Tor networks only: "DisableNetwork 1", or "TestingTorNetwork 1" with the
    // network's "DirAuthority …" lines.
    QStringList extraConfig;

    // The options the constants give: Tor.BootstrapTimeout (seconds, default 120), Tor.CheckURL, and
    // the data folder "tor" in the cache folder named by App.ConfigPath.
    static TorOptions fromConstants(const TSettings& settings);
    // The tor executable found on this machine, or empty when tor is not installed.
    static QString findProgram();
};
