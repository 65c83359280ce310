#include "config/TSettings.h"
#include "platform/CompanionIdentity.h"
#include "platform/ProcessRunner.h"
#include "proxy/CompanionHub.h"
#include "proxy/CompanionRegistration.h"
#include "proxy/TBrowserRoutines.h"
#include "proxy/TCookieClearReport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

#include <memory>

namespace {

bool isExistingFile(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

QString besideProgram(QLatin1StringView name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QString(name));
}

} // namespace

QStringList TBrowserRoutines::FirefoxInstallArgs()
{
    return {besideProgram(platform::companion::FirefoxPackage)};
}

QString TBrowserRoutines::ChromiumCompanionFolder()
{
    return besideProgram(platform::companion::ChromiumFolder);
}

QString TBrowserRoutines::CompanionHostExecutable()
{
    return besideProgram(platform::companion::HostExecutable);
}

QString TBrowserRoutines::GetFirefoxPath()
{
    TSettings* settings = Settings();
    if (!settings)
        return QString();
    QString path = settings->ReadString(QStringLiteral("FireFoxPath"), QString());
    if (isExistingFile(path))
        return path;

    // The ESR build, where installed, is the one the distribution keeps current, so it wins.
    for (const QString& name : {QStringLiteral("firefox"), QStringLiteral("firefox-esr")}) {
        const QString found = QStandardPaths::findExecutable(name);
        if (!found.isEmpty())
            path = found;
    }
    if (isExistingFile(path)) {
        try {
            settings->WriteString(QStringLiteral("FireFoxPath"), path);
        } catch (const std::exception& e) {
            // Not remembering it only means looking it up again next time.
            qCWarning(lcBrowsers) << "could not store the Firefox path:" << e.what();
        }
    }
    return path;
}

bool TBrowserRoutines::IsFirefoxInstalled()
{
    return !GetFirefoxPath().isEmpty();
}

void TBrowserRoutines::SetFirefoxProxy(const QString& proxy)
{
    TSettings* settings = Settings();
    if (!settings || !m_platform.companions)
        return;
    // "FF" off: the browsers keep (or get back) their users' own setting.
    const bool enabled = settings->ReadBool(QStringLiteral("FF"), true);
    m_platform.companions->setProxy(enabled ? proxy : QString());
}

QStringList TBrowserRoutines::RegisterCompanionHost()
{
    const CompanionRegistration::Result result = CompanionRegistration::registerHost(CompanionHostExecutable());
    for (const QString& failure : result.failed)
        qCWarning(lcBrowsers) << "companion host not registered:" << failure;
    return result.registered;
}

QStringList TBrowserRoutines::ConnectedCompanions() const
{
    return m_platform.companions ? m_platform.companions->connectedBrowsers() : QStringList();
}

bool TBrowserRoutines::InstallFirefoxExtension()
{
    RegisterCompanionHost();
    const QString path = GetFirefoxPath();
    if (!isExistingFile(path) || !m_platform.processes)
        return false;
    // Opened, not waited for: Firefox asks the user, and a running Firefox takes the file over.
    return m_platform.processes->startDetached(path, FirefoxInstallArgs());
}

void TBrowserRoutines::ClearFirefoxCookies()
{
    if (!m_platform.companions)
        return;
    m_platform.companions->clearBrowsingData([](const CompanionClearOutcome& outcome) {
        for (const QString& browser : outcome.cleared)
            qCInfo(lcBrowsers) << "cleared through its companion:" << browser;
        for (const QString& failure : outcome.failed)
            qCWarning(lcBrowsers) << "not cleared:" << failure;
    });
}

void TBrowserRoutines::ClearBrowserCookies(std::function<void(const TCookieClearReport&)> done)
{
    auto report = std::make_shared<TCookieClearReport>();
    report->embeddedView = ClearIECookies();
    if (!m_platform.companions) {
        QTimer::singleShot(0, [report, done] { done(*report); });
        return;
    }
    m_platform.companions->clearBrowsingData([report, done](const CompanionClearOutcome& outcome) {
        report->companionsCleared = outcome.cleared;
        report->companionsFailed = outcome.failed;
        done(*report);
    });
}
