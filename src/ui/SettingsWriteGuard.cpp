#include "ui/SettingsWriteGuard.h"

#include "config/SettingsError.h"
#include "config/TSettings.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSettingsWrite, "veilport.settings", QtWarningMsg)

SettingsWriteGuard::SettingsWriteGuard(TSettings& settings, Reporter report)
    : m_settings(settings), m_report(std::move(report))
{
}

bool SettingsWriteGuard::operator()(const std::function<void(TSettings& settings)>& write) const
{
    try {
        write(m_settings);
        return true;
    } catch (const ESettingsError& error) {
        const QString reason = QString::fromLocal8Bit(error.what());
        qCWarning(lcSettingsWrite) << "cannot store a setting:" << reason;
        if (m_report)
            m_report(reason);
        return false;
    }
}
