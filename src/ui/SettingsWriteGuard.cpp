#include "ui/SettingsWriteGuard.h"

#include "config/SettingsError.h"
#include "config/TSettings.h"
#include "ui/TfrmEngineWnd.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSettingsWrite, "veilport.settings", QtWarningMsg)

bool GuardSettingsWrite(const std::function<void(TSettings& settings)>& write)
{
    TSettings* settings = Settings();
    if (!settings)
        return false;
    try {
        write(*settings);
        return true;
    } catch (const ESettingsError& error) {
        const QString reason = QString::fromLocal8Bit(error.what());
        qCWarning(lcSettingsWrite) << "cannot store a setting:" << reason;
        if (frmEngineWnd)
            frmEngineWnd->ReportSettingsWriteError(reason);
        return false;
    }
}
