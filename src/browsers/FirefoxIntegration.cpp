#include "config/TSettings.h"
#include "platform/CompanionIdentity.h"
#include "platform/ProcessRunner.h"
#include "proxy/CompanionHub.h"
#include "proxy/CompanionRegistration.h"
#include "proxy/ProfileCookieCleaner.h"
#include "proxy/TBrowserRoutines.h"
#include "proxy/TCookieClearReport.h"
#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QThreadPool>
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
    TSettings* settings = m_platform.settings;
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
    TSettings* settings = m_platform.settings;
    if (!settings || !m_platform.companions)
        return;
    // Firefox's companions follow "FF". The Chromium family follows the desktop's settings by itself, so its
    // companions follow the desktop's choice ("IE"). A browser left out keeps (or gets back) its user's own
    // setting; secure pages go along only while the desktop sends them through the proxy too.
    CompanionProxyChoice choice;
    choice.firefox = settings->ReadBool(QStringLiteral("FF"), true);
    choice.chromiumFamily = settings->ReadBool(QStringLiteral("IE"), true);
    choice.https = settings->ReadBool(QStringLiteral("HideHttps"), true);
    m_platform.companions->setProxy(proxy, choice);
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
    QString error;
    if (m_platform.processes->startDetached(path, FirefoxInstallArgs(), &error))
        return true;
    qCWarning(lcBrowsers) << "Firefox not started:" << error;
    return false;
}

namespace {

// Clears the profiles of closed browsers on a pool thread (file and database work) and hands the
// result to done on the user-interface thread.
void clearClosedProfiles(std::function<void(const ProfileCookieCleaner::Result&)> done)
{
    QThreadPool::globalInstance()->start([done = std::move(done)] {
        const ProfileCookieCleaner::Result result = ProfileCookieCleaner::clear(ProfileCookieCleaner::findProfiles());
        PostToMainThread([done, result] { done(result); });
    });
}

} // namespace

void TBrowserRoutines::ClearFirefoxCookies()
{
    // The program's own browsing has its own step (ClearIECookies); this one is the browsers'.
    clearBrowsers(false, [](const TCookieClearReport& report) {
        for (const QString& place : report.companionsCleared + report.profilesCleared)
            qCInfo(lcBrowsers) << "cookies cleared:" << place;
        for (const QString& failure : report.companionsFailed + report.profilesSkipped)
            qCWarning(lcBrowsers) << "cookies not cleared:" << failure;
    });
}

void TBrowserRoutines::ClearBrowserCookies(std::function<void(const TCookieClearReport&)> done)
{
    clearBrowsers(true, std::move(done));
}

void TBrowserRoutines::clearBrowsers(bool ownBrowsing, std::function<void(const TCookieClearReport&)> done)
{
    struct Pending
    {
        TCookieClearReport report;
        QList<ProfileCookieCleaner::Skipped> skipped;
        int waiting = 2;
        std::function<void(const TCookieClearReport&)> done;

        void finishOne()
        {
            if (--waiting > 0)
                return;
            // A companion clears only the profile its browser runs it in, and no one can tell which profile
            // that is. So a running browser's locked profiles count as cleared only when as many of its
            // companions cleared as it has profiles locked; otherwise every one of them is reported.
            QHash<QString, int> locked;
            for (const ProfileCookieCleaner::Skipped& profile : std::as_const(skipped)) {
                if (profile.inUse)
                    ++locked[profile.family];
            }
            for (const ProfileCookieCleaner::Skipped& profile : std::as_const(skipped)) {
                if (!profile.inUse || report.companionsCleared.count(profile.family) < locked.value(profile.family))
                    report.profilesSkipped << profile.text;
            }
            done(report);
        }
    };
    auto pending = std::make_shared<Pending>();
    pending->done = std::move(done);
    if (ownBrowsing)
        pending->report.embeddedView = ClearIECookies();

    clearClosedProfiles([pending](const ProfileCookieCleaner::Result& result) {
        pending->report.profilesCleared = result.cleared;
        pending->skipped = result.skipped;
        pending->finishOne();
    });
    if (!m_platform.companions) {
        QTimer::singleShot(0, [pending] { pending->finishOne(); });
        return;
    }
    m_platform.companions->clearBrowsingData([pending](const CompanionClearOutcome& outcome) {
        pending->report.companionsCleared = outcome.cleared;
        pending->report.companionsFailed = outcome.failed;
        pending->finishOne();
    });
}
