#pragma once

#include <QString>

// Where the desktop keeps per-user and machine-wide application data. Each folder can be
// redirected by an environment variable so that tests and demos run against a private home.
namespace platform {

// The per-user configuration folder: $XDG_CONFIG_HOME, else $HOME/.config. No trailing slash.
QString userConfigFolder();
// The per-user cache folder: $XDG_CACHE_HOME, else $HOME/.cache. No trailing slash.
QString userCacheFolder();
// The machine-wide data folder: $VEILPORT_COMMON_DATA_DIR, else /var/lib. No trailing slash.
QString commonDataFolder();

} // namespace platform
