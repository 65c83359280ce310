#pragma once

#include "ui/FlagCache.h"

#include <QImage>
#include <QString>

// What the hiding presenter shows in the main window while the proxy manager loads lists, tests
// proxies, applies one and takes it away again. The presenter decides what the user is told;
// the main window owns its controls and decides how each state looks on them.
class IMainView
{
public:
    virtual ~IMainView() = default;

    // A list is loaded: the info page takes the place of the progress, the own address shows and
    // hiding can be started.
    virtual void ShowListReady(const QString& localAddress) = 0;
    // Starts hiding the way the user's Hide does (hiding was on when the window last closed).
    virtual void ResumeHiding() = 0;
    // A test run has handed max proxies to the tester and has current results; text says what runs.
    virtual void ShowTestProgress(int max, int current, const QString& text) = 0;
    // A proxy is applied: the address web sites see, the sentence under it and the tray's hint.
    virtual void ShowHiding(const QString& address, const QString& info, const QString& trayHint) = 0;
    // A check through the applied proxy passed: the address web sites see now, the hiding sentence and the
    // tray's hint. Leaves the testing progress as it is.
    virtual void ShowSeenAddress(const QString& address, const QString& info, const QString& trayHint) = 0;
    // A check through the applied proxy failed: the own address, the warning sentence and the tray's hint,
    // while hiding stays on (the command still stops it) and the testing progress stays as it is.
    virtual void ShowProxyFailing(const QString& localAddress, const QString& info, const QString& trayHint) = 0;
    // Hiding has ended: the own address, the warning sentence and the tray's hint.
    virtual void ShowNotHiding(const QString& localAddress, const QString& info, const QString& trayHint) = 0;
    // No working proxy is left and the web is blocked while hiding stays on: the headline in place of an
    // address, the sentence under it, and the notice the tray gives.
    virtual void ShowWebBlocked(const QString& headline, const QString& info, const QString& notice) = 0;
    // Draws the flag of the own country, and of the applied proxy's country.
    virtual void DrawLocalFlag(const QImage& flag, FlagFill fill) = 0;
    virtual void DrawProxyFlag(const QImage& flag, FlagFill fill) = 0;
    // Closes the window for good, which ends the program.
    virtual void CloseForGood() = 0;
};
