#pragma once

#include "browsers/CompanionHub.h"
#include "browsers/GnomeProxySettings.h"
#include "browsers/KdeProxySettings.h"
#include "browsers/QueuedProxySettings.h"
#include "browsers/TBrowserRoutines.h"
#include "platform/ProcessRunner.h"

#include <functional>

class TSettings;

// The browsers of this desktop as the running program drives them: the routines over GNOME's and
// KDE's proxy settings (written in order through one queue), the processes they start and the
// connected companions. Made once by the program's start and handed to whatever applies a proxy or
// clears cookies; lives on the user-interface thread.
class DesktopBrowsers
{
public:
    // settings: the user's choices the routines follow; must outlive this object.
    explicit DesktopBrowsers(TSettings& settings);
    DesktopBrowsers(const DesktopBrowsers&) = delete;
    DesktopBrowsers& operator=(const DesktopBrowsers&) = delete;

    TBrowserRoutines& routines() { return m_routines; }
    // The companions' sessions; they arrive over the single-instance channel.
    CompanionHub& companions() { return m_companions; }

    // Has the desktop's proxy settings written on a thread of their own, in order, so that applying a
    // proxy does not wait for the desktop's tools; off (the default) waits until every change so far
    // is written.
    void setWritesInBackground(bool on) { m_desktop.setBackground(on); }
    // Runs job in order with the desktop's proxy writes (on their thread while they are in the
    // background): after every write asked for before, before every one asked for after.
    void post(std::function<void()> job) { m_desktop.post(std::move(job)); }

private:
    platform::GnomeProxySettings m_gnome;
    platform::KdeProxySettings m_kde;
    // A change waits for the settings service or a disk flush (milliseconds, far more on a busy
    // machine); the running program has it written in the background.
    platform::QueuedProxySettings m_desktop{&m_gnome, &m_kde};
    platform::LocalProcessRunner m_processes;
    CompanionHub m_companions;
    TBrowserRoutines m_routines;
};
