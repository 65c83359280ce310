#include "ui/Engine.h"

#include "browsers/DesktopBrowsers.h"
#include "browsers/LoginGuardBrowserControl.h"
#include "config/SettingsError.h"
#include "config/SettingsFolder.h"
#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "platform/XdgAutostart.h"
#include "proxy/TProxyManager.h"
#include "tor/TorRoute.h"
#include "ui/ApplicationServices.h"
#include "ui/EndpointWebBlocker.h"
#include "ui/FlagService.h"
#include "ui/HidingPresenter.h"
#include "ui/TLocalisation.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/UpdateController.h"

#include <QLoggingCategory>

Engine::Engine(TSettings& settings, DesktopBrowsers& browsers, std::unique_ptr<platform::Autostart> autostart,
               std::unique_ptr<IExitRoute> exitRoute)
    : m_settings(settings), m_browsers(browsers),
      m_autostart(autostart ? std::move(autostart) : std::make_unique<platform::XdgAutostart>()),
      m_folder(std::make_unique<SettingsFolder>(settings)),
      m_services(std::make_unique<ApplicationServices>(settings, *m_autostart)),
      m_window(std::make_unique<TfrmEngineWnd>(*this)), m_exitRoute(std::move(exitRoute))
{
    ApplicationServices& services = *m_services;
    m_update = std::make_unique<UpdateController>(settings, services,
                                                  [&services](const QString& url) { services.OpenUrl(url); });
    // Flags are kept per user in either settings mode, like the proxy list.
    m_flags = std::make_unique<FlagService>(settings.UserFolder());
    // The browser routines tell their failures through the program's message box while the engine lives.
    m_browsers.routines().setServices(m_services.get());
    m_startSucceeded = Start();
}

Engine::~Engine()
{
    // The presenter listens to the manager, and the manager drives the browser control, so they go in
    // that order. Browser settings stay as they are.
    m_hiding.reset();
    m_proxyManager.reset();
    // Kills a tor still running (Exit has stopped it already).
    m_exitRoute.reset();
    m_webBlocker.reset();
    // The last change of the desktop's settings (a stop at Exit) must land before the program ends, and
    // the log-in guard's queued jobs must have run before the guard goes.
    m_browsers.setWritesInBackground(false);
    m_browserControl.reset();
    m_browsers.routines().setServices(nullptr);
    m_flags.reset();
    m_update.reset();
    // The localisation translates the engine window and plugs into the services: it goes before both.
    m_services->SetLanguageProvider(nullptr);
    m_localisation.reset();
    m_window.reset();
}

bool Engine::Start()
{
    ApplicationServices& services = *m_services;
    bool tellCurrentUser = false;
    try {
        tellCurrentUser = m_folder->Open();
    } catch (const ESettingsError& error) {
        // Without a settings folder nothing can be remembered; the user is told why and the
        // program ends instead of running on and losing every change.
        services.ShowPlainMessage(QString::fromLocal8Bit(error.what()), TEngineServices::mtError);
        return false;
    }

    // Their files lie beside the constants (the program's folder).
    m_localisation = std::make_unique<TLocalisation>(
        m_window.get(), m_settings.ProgramFolder(), [&services](const QString& name, const QString& value) {
            // The choice still applies now; a failure only keeps it from the next start.
            services.WriteGuard()([&](TSettings& store) { store.WriteString(name, value); });
        });
    services.SetLanguageProvider(m_localisation.get());
    const QString forced = m_settings.GetConst(QStringLiteral("Language.Force"));
    services.SetLanguage(
        !forced.isEmpty() ? forced : m_settings.ReadString(QStringLiteral("Language"), QStringLiteral("English")));
    // Told only now, so that the notice speaks the user's language instead of showing its keys.
    if (tellCurrentUser)
        services.ShowPlainMessage(services.LangText(QString::fromLatin1(MessageText::kHaveToCurrentUser)),
                                  TEngineServices::mtInformation);

    services.LoadIcons();

    // The pool's developer trace writes a line per proxy handed to the tester, ten thousand at a time on
    // this thread; the running program keeps it quiet unless QT_LOGGING_RULES asks for it.
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));
    // A proxy is applied on this thread, between two test results; the desktop's tools must not hold it up.
    m_browsers.setWritesInBackground(true);
    m_browserControl = std::make_unique<LoginGuardBrowserControl>(
        m_browsers.routines(), *m_autostart, m_settings.UserFolder() + LoginGuardBrowserControl::MemoryFileName(),
        [&browsers = m_browsers](std::function<void()> job) { browsers.post(std::move(job)); });
    m_proxyManager = std::make_unique<TProxyManager>(
        *m_browserControl, services,
        TProxyManager::TestUrlForHost(m_settings.GetConst(QStringLiteral("URL.ServiceHost"))));
    m_webBlocker = std::make_unique<EndpointWebBlocker>(m_settings, services, [this] {
        const QString list = m_settings.GetConst(QStringLiteral("URL.GETPROXY"));
        return list.trimmed().isEmpty() ? QString() : list + QLatin1Char('?') + m_update->BuildQueryString();
    });
    m_proxyManager->SetWebBlocker(m_webBlocker.get());
    // tor is only started when the user hides through it; building the route costs nothing.
    if (!m_exitRoute)
        m_exitRoute = std::make_unique<TorRoute>(TorOptions::fromConstants(m_settings));
    m_proxyManager->SetExitRoute(m_exitRoute.get());
    QObject::connect(m_proxyManager.get(), &TProxyManager::exitRouteMissing, m_proxyManager.get(), [this] {
        // Without tor the option cannot work; it goes off so that the next Hide uses the list again.
        m_proxyManager->SwitchExitRoute(false);
        m_services->WriteGuard()([](TSettings& store) { store.WriteBool(QStringLiteral("UseTor"), false); });
    });
    m_hiding = std::make_unique<HidingPresenter>(m_settings, services, *m_proxyManager, *m_flags);
    m_hiding->ApplyProxyTestOptions();
    return true;
}
