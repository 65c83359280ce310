#pragma once

#include "platform/Autostart.h"
#include "proxy/ExitRoute.h"

#include <memory>

class ApplicationServices;
class DesktopBrowsers;
class EndpointWebBlocker;
class FlagService;
class HidingPresenter;
class IBrowserControl;
class SettingsFolder;
class TfrmEngineWnd;
class TLocalisation;
class TProxyManager;
class TSettings;
class UpdateController;

// Builds and owns what the program runs on besides its windows: the settings folder choice, the
// application services, languages and skins, the proxy pool with the presenter of its events, the
// log-in guard in front of the desktop's browsers, the flags, the update check, and the hidden engine
// window that the rest of the program knows.
// Start-up happens in the constructor; when it fails (no settings folder can be set up) the user has
// been told why and StartSucceeded is false.
class Engine
{
public:
    // settings and browsers (what the proxy pool applies its proxies to) must outlive the engine;
    // autostart: the log-on start mechanism (the desktop's autostart folder when null); exitRoute: what hides
    // the user when the option UseTor is on (Veilport's own tor, as the constants set it up, when null).
    Engine(TSettings& settings, DesktopBrowsers& browsers, std::unique_ptr<platform::Autostart> autostart = {},
           std::unique_ptr<IExitRoute> exitRoute = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // False when the settings folder could not be set up; the program then ends without a window.
    bool StartSucceeded() const { return m_startSucceeded; }

    TSettings& Settings() const { return m_settings; }
    DesktopBrowsers& Browsers() const { return m_browsers; }
    TfrmEngineWnd& Window() const { return *m_window; }
    ApplicationServices& Services() const { return *m_services; }
    SettingsFolder& Folder() const { return *m_folder; }
    UpdateController& Update() const { return *m_update; }
    FlagService& Flags() const { return *m_flags; }
    // Null when the start failed.
    TLocalisation* Localisation() const { return m_localisation.get(); }
    HidingPresenter* Hiding() const { return m_hiding.get(); }
    TProxyManager* ProxyManager() const { return m_proxyManager.get(); }
    // What the browsers are pointed at when no working proxy is left and the user blocks the web then.
    EndpointWebBlocker* WebBlocker() const { return m_webBlocker.get(); }
    // What hides the user instead of the list's proxies when UseTor is on.
    IExitRoute* ExitRoute() const { return m_exitRoute.get(); }

private:
    bool Start();

    TSettings& m_settings;
    DesktopBrowsers& m_browsers;
    std::unique_ptr<platform::Autostart> m_autostart;
    std::unique_ptr<SettingsFolder> m_folder;
    std::unique_ptr<ApplicationServices> m_services;
    std::unique_ptr<TfrmEngineWnd> m_window;
    std::unique_ptr<UpdateController> m_update;
    std::unique_ptr<FlagService> m_flags;
    // Languages and skins: smLanguage, smdCurrent, smdDefault, spcConfig, spSkinData and the skin texts.
    std::unique_ptr<TLocalisation> m_localisation;
    // The log-in guard in front of the browsers' routines; the proxy pool drives it.
    std::unique_ptr<IBrowserControl> m_browserControl;
    std::unique_ptr<EndpointWebBlocker> m_webBlocker;
    std::unique_ptr<IExitRoute> m_exitRoute;
    std::unique_ptr<TProxyManager> m_proxyManager;
    std::unique_ptr<HidingPresenter> m_hiding;
    bool m_startSucceeded = false;
};
