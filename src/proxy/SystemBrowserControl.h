#pragma once

#include "proxy/BrowserControl.h"

class TBrowserRoutines;

// The browsers of this desktop, as the proxy manager drives them.
class SystemBrowserControl : public IBrowserControl
{
public:
    // The routines to use; the process-wide ones when none are given. Not owned.
    explicit SystemBrowserControl(TBrowserRoutines* routines = nullptr);

    // The desktop's proxy settings and the program's own process proxy.
    void SetIEProxy(const QString& proxy) override;
    // The browsers' companions (Firefox's and the Chromium family's); returns at once.
    void SetFirefoxProxy(const QString& proxy) override;
    // Opera's profile file; throws EBrowserWriteError when it cannot be written.
    void SetOperaProxy(const QString& proxy) override;
    // The program's own browsing cache.
    void ClearIECookies() override;
    // The browsers' cookies through their companions, and those of closed browsers' profiles.
    void ClearFirefoxCookies() override;

private:
    TBrowserRoutines& m_routines;
};
