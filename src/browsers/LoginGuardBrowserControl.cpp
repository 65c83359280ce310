#include "browsers/LoginGuardBrowserControl.h"

#include "platform/Autostart.h"
#include "util/SPTools.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>

namespace {
Q_LOGGING_CATEGORY(lcGuard, "veilport.guard")
} // namespace

LoginGuardBrowserControl::LoginGuardBrowserControl(IBrowserControl& inner, platform::Autostart& autostart,
                                                   QString memoryFile, WriteOrder order)
    : m_inner(inner), m_autostart(autostart), m_memoryFile(std::move(memoryFile)), m_order(std::move(order))
{
}

QString LoginGuardBrowserControl::MemoryFileName()
{
    return QStringLiteral("DesktopGuard.dat");
}

QString LoginGuardBrowserControl::ReadMemory(const QString& file)
{
    QFile memory(file);
    if (!memory.open(QIODevice::ReadOnly))
        return QString();
    // A proxy address is short; anything longer is not ours.
    const QByteArray text = memory.read(257);
    if (text.size() > 256)
        return QString();
    return QString::fromUtf8(text).trimmed();
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
    // Both land before the desktop changes, so no moment exists in which the desktop is on a proxy
    // that the guard does not know about. Neither failure keeps the proxy from being applied.
    m_order([this, proxy] {
        if (!m_memoryFile.isEmpty() && m_remembered != proxy) {
            if (AtomicWriteFile(m_memoryFile, proxy.toUtf8() + '\n'))
                m_remembered = proxy;
            else
                qCWarning(lcGuard).noquote() << "cannot remember the applied proxy for the log-in guard in"
                                             << m_memoryFile << ":" << qt_error_string(errno);
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
    });
}

void LoginGuardBrowserControl::SetIEProxy(const QString& proxy)
{
    if (!proxy.isEmpty())
        arm(proxy);
    m_inner.SetIEProxy(proxy);
}

void LoginGuardBrowserControl::SetFirefoxProxy(const QString& proxy)
{
    m_inner.SetFirefoxProxy(proxy);
}

void LoginGuardBrowserControl::SetOperaProxy(const QString& proxy)
{
    m_inner.SetOperaProxy(proxy);
}

void LoginGuardBrowserControl::ClearIECookies()
{
    m_inner.ClearIECookies();
}

void LoginGuardBrowserControl::ClearFirefoxCookies()
{
    m_inner.ClearFirefoxCookies();
}
