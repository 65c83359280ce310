#pragma once

#include <QString>

#include <stdexcept>

namespace platform {
class UrlCache;
}
class TBrowserRoutines;

// Raised when a browser's settings file exists but cannot be rewritten ("Unable to write to <file>").
class EBrowserWriteError : public std::runtime_error
{
public:
    explicit EBrowserWriteError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// The browser routines of the process, over the desktop's real settings stores and processes.
// Each one does nothing while there is no settings store.

// Points the program's own process and the desktop's proxy settings at the proxy (empty: direct).
// Never throws; a process proxy that cannot be set is reported with a message box.
void SetIEProxy(const QString& proxy);
// Hands the proxy to Firefox through the extension's command line (empty: direct).
void SetFirefoxProxy(const QString& proxy);
// Writes the proxy into an existing Opera profile file (empty: off). Throws EBrowserWriteError.
void SetOperaProxy(const QString& proxy);
// Deletes the cookies, history and cached pages of the program's own browsing.
void ClearIECookies();
// Asks Firefox, when it is found, to clear its cookies.
void ClearFirefoxCookies();
// Starts Firefox with the extension package beside the program; whether Firefox started.
bool InstallFirefoxExtension();
// Whether a Firefox executable is known (stored or found on PATH).
bool IsFirefoxInstalled();
// The Firefox executable: the stored one when it exists, else firefox / firefox-esr on PATH.
QString GetFirefoxPath();

// The process-wide routines behind the functions above.
TBrowserRoutines& DefaultBrowserRoutines();
// Has the desktop's proxy settings written on a thread of their own, in order, so that applying a proxy
// does not wait for the desktop's tools; off (the default) waits until every change so far is written.
void SetDesktopProxyWritesInBackground(bool on);
// Gives the routines the program's browsing cache (the user interface owns it); nullptr removes it.
void SetBrowserUrlCache(platform::UrlCache* cache);
