#include "ui/LoginGuardBrowserControl.h"

#include "config/SettingsError.h"
#include "config/TSettings.h"
#include "platform/Autostart.h"
#include "util/SPTools.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcGuard, "veilport.guard")
} // namespace

LoginGuardBrowserControl::LoginGuardBrowserControl(std::unique_ptr<IBrowserControl> inner,
                                                   platform::Autostart& autostart)
    : m_inner(std::move(inner)), m_autostart(autostart)
{
}

QString LoginGuardBrowserControl::EntryName()
{
    // Fixed, not translated: a change of language must not leave an entry of the old name behind.
    return QStringLiteral("Veilport desktop guard");
}

QString LoginGuardBrowserControl::RestoreSwitch()
{
    return QStringLiteral("--restore-desktop");
}

void LoginGuardBrowserControl::arm(const QString& proxy)
{
    // Both happen before the desktop changes, so no moment exists in which the desktop is on a proxy
    // that the guard does not know about. Neither failure keeps the proxy from being applied.
    if (TSettings* settings = Settings()) {
        try {
            if (settings->ReadString(QStringLiteral("DesktopProxy"), QString()) != proxy)
                settings->WriteString(QStringLiteral("DesktopProxy"), proxy);
        } catch (const ESettingsError& error) {
            qCWarning(lcGuard) << "cannot remember the applied proxy for the log-in guard:" << error.what();
        }
    }
    // Written once per run (the installed path may have changed since the last one), and again
    // whenever the guard has removed it since.
    if (m_entryWritten && m_autostart.isEnabled(EntryName()))
        return;
    QString error;
    if (m_autostart.setEnabled(EntryName(), GetExeFileName(), {RestoreSwitch()}, true, &error))
        m_entryWritten = true;
    else
        qCWarning(lcGuard).noquote() << "cannot install the log-in guard:" << error;
}

void LoginGuardBrowserControl::SetIEProxy(const QString& proxy)
{
    if (!proxy.isEmpty())
        arm(proxy);
    m_inner->SetIEProxy(proxy);
}

void LoginGuardBrowserControl::SetFirefoxProxy(const QString& proxy)
{
    m_inner->SetFirefoxProxy(proxy);
}

void LoginGuardBrowserControl::SetOperaProxy(const QString& proxy)
{
    m_inner->SetOperaProxy(proxy);
}

void LoginGuardBrowserControl::ClearIECookies()
{
    m_inner->ClearIECookies();
}

void LoginGuardBrowserControl::ClearFirefoxCookies()
{
    m_inner->ClearFirefoxCookies();
}
