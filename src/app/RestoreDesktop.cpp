#include "app/RestoreDesktop.h"

#include "app/uMain.h"
#include "config/SettingsError.h"
#include "config/TSettings.h"
#include "browsers/BrowserWriteError.h"
#include "browsers/DesktopProxyState.h"
#include "browsers/LoginGuardBrowserControl.h"
#include "platform/Autostart.h"
#include "proxy/BrowserControl.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcRestore, "veilport.guard")
} // namespace

int RestoreDesktop(platform::InstanceChannel& channel, platform::Autostart& autostart, IBrowserControl& browsers)
{
    // A running copy owns the desktop's settings: it may be hiding right now.
    if (FindRunningInstance(channel)) {
        qCInfo(lcRestore) << "a copy of the program runs; the desktop is left to it";
        return 0;
    }
    TSettings* settings = Settings();
    try {
        // The remembered proxy lives in the user's own settings in either mode, and nothing else the
        // guard reads may come from the shared ones.
        settings->OpenSettingsFile(false);
    } catch (const ESettingsError& error) {
        qCWarning(lcRestore) << "cannot read the settings:" << error.what();
        return 1;
    }
    QString proxy =
        LoginGuardBrowserControl::ReadMemory(settings->UserFolder() + LoginGuardBrowserControl::MemoryFileName());
    // Copies before the guard had a file of its own remembered the proxy among the settings.
    if (proxy.isEmpty())
        proxy = settings->ReadString(QStringLiteral("DesktopProxy"), QString());
    if (!proxy.isEmpty() && platform::desktopNamesProxy(proxy)) {
        // Looked for once more right before the change: a copy started at the same log-in applies its
        // proxy only after a list download and a test run, long after this.
        if (FindRunningInstance(channel))
            return 0;
        // The routines the program stops hiding with; Firefox follows the desktop, and starting it
        // at a log-in to tell it so would open a browser window nobody asked for.
        browsers.SetIEProxy(QString());
        try {
            browsers.SetOperaProxy(QString());
        } catch (const EBrowserWriteError& error) {
            qCWarning(lcRestore) << error.what();
        }
        if (platform::desktopNamesProxy(proxy)) {
            qCWarning(lcRestore).noquote() << "the desktop still uses" << proxy << "; trying again at the next log-in";
            return 1;
        }
        qCInfo(lcRestore).noquote() << "the desktop no longer uses" << proxy;
    }
    QString error;
    if (!autostart.setEnabled(LoginGuardBrowserControl::EntryName(), QString(), {}, false, &error))
        qCWarning(lcRestore).noquote() << error;
    return 0;
}
