#pragma once

#include <QtGlobal>

// Messages between copies of the program. The numbers are those of the program's window messages,
// so that a trace reads the same on every platform.
enum TInstanceMessage : quint32
{
    // Copy data: the payload is the sender's first argument (no terminating zero).
    WM_COPYDATA = 74,
    // Files dropped on the main window; the payload holds one name per line.
    WM_DROPFILES = 563,
    // Close the running copy for good (a start with "-s" or "-r").
    WM_INSTANCE_CLOSE = 2027,
    // Switch between all-users and per-user settings through a restart; wParam 1 = all users.
    WM_ALLUSERS_RESTART = 2028,
    // Who are you: answered with the constant App.ID.
    WM_INSTANCE_QUERY_ID = 2135,
    // Bring the main window to the front. Outside the range of window messages, so it never
    // clashes with one.
    WM_INSTANCE_RAISE = 0x10001,
    // A browser companion's host opens a session: the connection stays open for the companion's
    // commands and answers; the payload is the host's JSON greeting.
    WM_COMPANION_SESSION = 0x10002,
};
