#pragma once

#include "proxy/BrowserControl.h"

#include <QString>

#include <functional>

namespace platform {
class Autostart;
}

// The browser control of the running program, with the log-in guard armed before any proxy reaches
// the desktop: the proxy is remembered for this user (in "DesktopGuard.dat" in the per-user folder)
// and a log-in entry runs "veilport --restore-desktop". A crash, a log-out or a stop switch can leave the desktop on a
// public proxy that may die at any time; the guard returns it to direct at the next log-in even when
// Veilport itself is not started then.
//
// The entry is not removed when hiding stops: at a log-out the stop's own desktop write is the one
// most likely lost, and only a later reading of the desktop can tell. The guard removes its entry
// itself once it finds the desktop no longer on the remembered proxy; the next apply installs it again.
class LoginGuardBrowserControl : public IBrowserControl
{
public:
    // Runs a job in order with the desktop's proxy writes: before every write asked for after it.
    using WriteOrder = std::function<void(std::function<void()>)>;

    // Wraps inner; the entry goes through autostart (neither owned, both must outlive this object).
    // The proxy is remembered in memoryFile; both are written through order, so that the user-interface
    // thread does not wait for their disk flushes and still neither can land after the desktop change.
    // The jobs it hands to order use this object: they must all have run before it is destroyed.
    LoginGuardBrowserControl(IBrowserControl& inner, platform::Autostart& autostart, QString memoryFile,
                             WriteOrder order);

    // The file beside the per-user settings that holds the proxy the guard looks for.
    static QString MemoryFileName();
    // The proxy remembered in file; empty when there is none or it cannot be read.
    static QString ReadMemory(const QString& file);

    // The name of the log-in entry and the switch it runs the program with.
    static QString EntryName();
    static QString RestoreSwitch();

    // Arms the guard for a proxy (not for a direct connection), then passes the call on.
    void SetIEProxy(const QString& proxy) override;
    void SetFirefoxProxy(const QString& proxy) override;
    void SetOperaProxy(const QString& proxy) override;
    void ClearIECookies() override;
    void ClearFirefoxCookies() override;

private:
    void arm(const QString& proxy);

    IBrowserControl& m_inner;
    platform::Autostart& m_autostart;
    QString m_memoryFile;
    WriteOrder m_order;
    // Both are touched only inside the ordered jobs, which never run two at a time.
    QString m_remembered;
    bool m_entryWritten = false;
};
