#pragma once

class IBrowserControl;

namespace platform {
class Autostart;
class InstanceChannel;
} // namespace platform

// The log-in guard's run ("veilport --restore-desktop"): when no copy of the program runs and the
// desktop's proxy settings still name the proxy this user's copy applied last, the desktop goes back
// to a direct connection through browsers (the program's own browser routines). Once the desktop is
// direct the guard's log-in entry is removed (the next apply installs it again). The settings store
// must exist.
// Returns the exit code: 0, or 1 when the desktop could not be returned (the entry then stays).
int RestoreDesktop(platform::InstanceChannel& channel, platform::Autostart& autostart, IBrowserControl& browsers);
