#include "proxy/SystemBrowserControl.h"

#include "proxy/BrowserRoutines.h"
#include "proxy/TBrowserRoutines.h"

SystemBrowserControl::SystemBrowserControl(TBrowserRoutines* routines)
    : m_routines(routines ? *routines : DefaultBrowserRoutines())
{
}

void SystemBrowserControl::SetIEProxy(const QString& proxy)
{
    m_routines.SetIEProxy(proxy);
}

void SystemBrowserControl::SetFirefoxProxy(const QString& proxy)
{
    m_routines.SetFirefoxProxy(proxy);
}

void SystemBrowserControl::SetOperaProxy(const QString& proxy)
{
    m_routines.SetOperaProxy(proxy);
}

void SystemBrowserControl::ClearIECookies()
{
    m_routines.ClearIECookies();
}

void SystemBrowserControl::ClearFirefoxCookies()
{
    m_routines.ClearFirefoxCookies();
}
