#pragma once

#include <QString>

#include <functional>
#include <stdexcept>

namespace platform {
class UrlCache;
}
class CompanionHub;
class TBrowserRoutines;
class TEngineServices;
class TSettings;
struct TCookieClearReport;

// Raised when a browser's settings file exists but cannot be rewritten ("Unable to write to <file>").
class EBrowserWriteError : public std::runtime_error
{
public:
    explicit EBrowserWriteError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// The browser routines of the process, over the desktop's real settings stores and processes.
// Each one does nothing until the program's start gives them the settings store (SetBrowserSettings).

// Points the program's own process and the desktop's proxy settings at the proxy (empty: direct).
// Never throws; a process proxy that cannot be set is reported with a message box.
void SetIEProxy(const QString& proxy);
// Hands the proxy to the connected browser companions (empty: their users' own setting); never waits.
void SetFirefoxProxy(const QString& proxy);
// Writes the proxy into an existing Opera profile file (empty: off). Throws EBrowserWriteError.
void SetOperaProxy(const QString& proxy);
// Deletes the cookies, history and cached pages of the program's own browsing; false: none to clear.
bool ClearIECookies();
// Has every connected browser companion clear its browser's cookies, cache and history, and deletes the
// cookies of closed browsers' profiles; never waits.
void ClearFirefoxCookies();
// Clears everywhere it can and calls done later, on this thread, with what was and was not cleared.
void ClearBrowserCookies(std::function<void(const TCookieClearReport&)> done);
// Registers the companion's host and opens the Firefox package in Firefox; whether Firefox started.
bool InstallFirefoxExtension();
// Registers the companion's native messaging host for this user's browsers; the manifests written.
QStringList RegisterCompanionHost();
// The connected browser companions (their sessions arrive over the single-instance channel).
CompanionHub& DefaultCompanionHub();
// Whether a Firefox executable is known (stored or found on PATH).
bool IsFirefoxInstalled();
// The Firefox executable: the stored one when it exists, else firefox / firefox-esr on PATH.
QString GetFirefoxPath();

// The process-wide routines behind the functions above.
TBrowserRoutines& DefaultBrowserRoutines();
// Has the desktop's proxy settings written on a thread of their own, in order, so that applying a proxy
// does not wait for the desktop's tools; off (the default) waits until every change so far is written.
void SetDesktopProxyWritesInBackground(bool on);
// Runs job in order with the desktop's proxy writes (on their thread while they are in the background):
// after every write asked for before, before every one asked for after.
void PostDesktopProxyJob(std::function<void()> job);
// Gives the routines the program's browsing cache (the user interface owns it); nullptr removes it.
void SetBrowserUrlCache(platform::UrlCache* cache);
// Gives the routines the user's settings store (nullptr before the store closes).
void SetBrowserSettings(TSettings* settings);
// Gives the routines the program's message box (nullptr: failures are only traced).
void SetBrowserServices(TEngineServices* services);
