#pragma once

#include <QString>

// The browser side of hiding, as the proxy manager sees it: set or clear the proxy of each
// browser and clear their cookies. The program uses TBrowserRoutines behind its log-in guard; tests record calls.
// A proxy text is host:port; the empty text means a direct connection.
class IBrowserControl
{
public:
    virtual ~IBrowserControl() = default;

    // Points the desktop's system proxy at the proxy (empty: direct). Reports its own failures, never throws.
    virtual void SetIEProxy(const QString& proxy) = 0;
    // Hands the proxy to the browsers' companions (empty: their users' own setting). Returns at once.
    virtual void SetFirefoxProxy(const QString& proxy) = 0;
    // Writes the proxy into Opera's profile file (empty: direct). May throw EBrowserWriteError.
    virtual void SetOperaProxy(const QString& proxy) = 0;
    // Clears the cookies, history and cache the program's own browsing shares with the system.
    virtual void ClearIECookies() = 0;
    // Clears the cookies of the user's browsers (through their companions, or in closed profiles). Returns at once.
    virtual void ClearFirefoxCookies() = 0;
};

// Leaves every browser alone: for reading, parsing and measuring lists without touching the desktop.
class NullBrowserControl : public IBrowserControl
{
public:
    void SetIEProxy(const QString&) override {}
    void SetFirefoxProxy(const QString&) override {}
    void SetOperaProxy(const QString&) override {}
    void ClearIECookies() override {}
    void ClearFirefoxCookies() override {}
};
