#include "browsers/DesktopBrowsers.h"

namespace {

TBrowserRoutines::Platform desktopPlatform(TSettings& settings, platform::SystemProxySettings& desktop,
                                           platform::ProcessRunner& processes, CompanionHub& companions)
{
    TBrowserRoutines::Platform p;
    p.settings = &settings;
    p.desktopProxies = {&desktop};
    p.processes = &processes;
    p.companions = &companions;
    return p;
}

} // namespace

DesktopBrowsers::DesktopBrowsers(TSettings& settings)
    : m_routines(desktopPlatform(settings, m_desktop, m_processes, m_companions))
{
}
