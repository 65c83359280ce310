#include "ui/ApplicationServices.h"

#include "config/SettingsError.h"
#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "platform/Autostart.h"
#include "platform/DefaultBrowser.h"
#include "ui/TLanguageProvider.h"
#include "ui/TMessageDialog.h"
#include "util/SPTools.h"

#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QWidget>

Q_LOGGING_CATEGORY(lcServices, "veilport.engine", QtWarningMsg)

namespace {
// The icon list holds at most this many files (il_01.png ... il_70.png).
constexpr int kMaxIcons = 70;
} // namespace

ApplicationServices::ApplicationServices(TSettings& settings, platform::Autostart& autostart)
    : m_settings(settings), m_autostart(autostart),
      m_writeGuard(settings, [this](const QString& reason) { ReportSettingsWriteError(reason); })
{
}

QString ApplicationServices::LangText(const QString& key) const
{
    return m_language ? m_language->LangText(key) : key;
}

void ApplicationServices::LangStrings(const QString& section, QStringList& list) const
{
    if (m_language)
        m_language->LangStrings(section, list);
}

void ApplicationServices::SetLanguage(const QString& name)
{
    m_languageName = name;
    if (m_language)
        m_language->SetLanguage(name);
}

void ApplicationServices::SetLanguageProvider(TLanguageProvider* provider)
{
    m_language = provider;
}

void ApplicationServices::SetMainWindow(QWidget* window)
{
    m_mainWindow = window;
}

QWidget* ApplicationServices::MainWindow() const
{
    return m_mainWindow;
}

int ApplicationServices::ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType,
                                        int buttons, int fixedResult)
{
    const QString text = FormatArgs(LangText(key), args);
    QWidget* mainWindow = MainWindow();
    if (!mainWindow)
        return mrNone;
    if (showAgainId != 0 && !m_settings.ReadShowAgain(showAgainId))
        return fixedResult != 0 ? fixedResult : m_settings.ReadShowAgainResult(showAgainId);

    // Parent only to a visible main window: a box parented to a window hidden in the tray would be
    // placed relative to nothing the user can see.
    QWidget* parent = mainWindow->isVisible() ? mainWindow : nullptr;
    const TMessageDialog::Outcome outcome =
        TMessageDialog::Execute(parent, mainWindow->windowTitle(), text, msgType, buttons, showAgainId != 0);

    if (showAgainId != 0 && outcome.showAgainTicked) {
        // The answer still counts for this time; a failure only keeps it from being remembered.
        m_writeGuard([&](TSettings& store) {
            store.WriteShowAgain(showAgainId, false);
            store.WriteShowAgainResult(showAgainId, outcome.result);
        });
    }
    return outcome.result;
}

void ApplicationServices::ShowPlainMessage(const QString& text, int msgType)
{
    TMessageDialog::Execute(nullptr, LangText(QString::fromLatin1(MessageText::kAppName)), text, msgType, mbOK, false);
}

void ApplicationServices::ReportSettingsWriteError(const QString& reason)
{
    if (m_writeErrorShown)
        return;
    const QString key = QString::fromLatin1(MessageText::kSettingsNotSaved);
    const QString pattern = LangText(key);
    // Without a language file the reason alone is clearer than the key.
    const QString text = pattern == key ? reason : FormatArgs(pattern, {reason});
    // Counted as told only when a box could show: before the main window exists nothing is shown.
    m_writeErrorShown = ShowMessageBox(text, {}, 0, mtError, mbOK, 0) != mrNone;
}

void ApplicationServices::ShowErrorMessage(int code, const QString& extra)
{
    QString text = FormatArgs(LangText(QStringLiteral("ERRORMSG_") + QString::number(code)), {extra});
    if (text.isEmpty())
        text = extra;
    ShowMessageBox(text, {}, 0, mtError, mbOK, 0);
}

void ApplicationServices::ShowCommandError(const QString& text)
{
    if (QWidget* mainWindow = MainWindow())
        TMessageDialog::Execute(mainWindow->isVisible() ? mainWindow : nullptr, mainWindow->windowTitle(), text,
                                mtError, mbOK, false);
}

void ApplicationServices::OpenUrl(const QString& url)
{
    platform::LaunchDefaultBrowser(m_processes, url);
}

bool ApplicationServices::SetAutoRun(bool enable)
{
    QString error;
    // A log-on start opens no window (-autorun): the tray, or the task bar without one, leads to it.
    if (m_autostart.setEnabled(LangText(QString::fromLatin1(MessageText::kAppName)), GetExeFileName(),
                               {QStringLiteral("-autorun")}, enable, &error))
        return true;
    ShowCommandError(error);
    qCWarning(lcServices) << error;
    return false;
}

void ApplicationServices::LoadIcons()
{
    m_icons.clear();
    const QString folder = m_settings.ProgramFolder();
    auto iconFile = [&folder](int n) {
        return folder + QStringLiteral("res/images/il_") + IntToStrPad(n, 2, u'0') + QStringLiteral(".png");
    };
    if (!QFileInfo::exists(iconFile(1)))
        return;
    const QImage first(iconFile(1), "PNG");
    if (first.isNull())
        return;
    m_iconSize = first.size();
    for (int n = 1; n <= kMaxIcons; ++n) {
        const QString file = iconFile(n);
        if (!QFileInfo::exists(file))
            break;
        m_icons.append(QPixmap(file, "PNG"));
    }
}

bool ApplicationServices::RestartWithUserMode(bool allUsers)
{
    try {
        m_settings.WriteAllUsersFlag(allUsers);
    } catch (const ESettingsError& error) {
        // Restarting would only come back in the old mode; say why nothing happens instead.
        ShowCommandError(QString::fromLocal8Bit(error.what()));
        return false;
    }
    // Not waited for: the new copy first asks this one to close, so this one must stay responsive.
    QString error;
    if (!m_processes.startDetached(GetExeFileName(), {QStringLiteral("-r")}, &error))
        qCWarning(lcServices) << "could not start the new copy:" << error;
    return true;
}
