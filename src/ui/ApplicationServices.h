#pragma once

#include "platform/ProcessRunner.h"
#include "ui/SettingsWriteGuard.h"
#include "util/EngineServices.h"

#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>

class QWidget;
class TLanguageProvider;
class TSettings;

namespace platform {
class Autostart;
} // namespace platform

// The services every window needs: localised texts, the program's message box with its
// don't-show-again choices, opening addresses, the log-on start, the icon list and the restart
// that switches between all-users and per-user settings.
class ApplicationServices : public TEngineServices
{
public:
    // autostart: the log-on start mechanism; both must outlive this object.
    ApplicationServices(TSettings& settings, platform::Autostart& autostart);

    QString LangText(const QString& key) const override;
    void LangStrings(const QString& section, QStringList& list) const override;
    // Loads a language through the language engine; remembered as the current language name.
    void SetLanguage(const QString& name);
    // The language loaded last.
    QString LanguageName() const { return m_languageName; }
    // Plugs in the language engine (not owned; null goes back to keys read as themselves).
    void SetLanguageProvider(TLanguageProvider* provider);

    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult) override;
    void ShowErrorMessage(int code, const QString& extra) override;
    // A plain box that does not depend on the main window, for the start before any window exists.
    void ShowPlainMessage(const QString& text, int msgType);
    // Tells the user that a setting could not be stored (reason: the file and why), once per
    // session: later failures are only traced, so a full disk does not bury the window in boxes.
    void ReportSettingsWriteError(const QString& reason);
    // Runs settings writes that report their failure through ReportSettingsWriteError.
    const SettingsWriteGuard& WriteGuard() const { return m_writeGuard; }

    // The window whose caption message boxes carry and whose existence lets them show (the main
    // window sets itself while it exists).
    void SetMainWindow(QWidget* window);
    QWidget* MainWindow() const;

    // Opens an address in the user's browser; failures are not reported.
    void OpenUrl(const QString& url);
    // Registers or removes the log-on start under the product name of the current language.
    // A failure is shown as an error message; the result tells whether the change was made.
    bool SetAutoRun(bool enable);

    // Loads res/images/il_01.png, il_02.png, ... up to the first missing one (at most 70).
    void LoadIcons();
    // The PNG icons of res/images, and their common size.
    const QList<QPixmap>& Icons() const { return m_icons; }
    QSize IconSize() const { return m_iconSize; }

    // Stores the settings mode for the next start and starts a new copy with "-r" without waiting
    // for it. Returns whether this copy must now close; a mode that cannot be stored is shown and
    // keeps this copy running.
    bool RestartWithUserMode(bool allUsers);

private:
    // An error box for a failure of a command: the user learns it, the program goes on.
    void ShowCommandError(const QString& text);

    TSettings& m_settings;
    platform::Autostart& m_autostart;
    // Opens addresses in the browser and starts the copy that restarts the program.
    platform::LocalProcessRunner m_processes;
    SettingsWriteGuard m_writeGuard;
    TLanguageProvider* m_language = nullptr;
    QString m_languageName;
    QPointer<QWidget> m_mainWindow;
    bool m_writeErrorShown = false;
    QList<QPixmap> m_icons;
    QSize m_iconSize{20, 20};
};
