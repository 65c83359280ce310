#include "browsers/TBrowserRoutines.h"

#include "browsers/CompanionHub.h"
#include "browsers/CompanionRegistration.h"
#include "config/TSettings.h"
#include "platform/CompanionIdentity.h"
#include "platform/ProcessRunner.h"
#include "platform/ProxyAddress.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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
    // Firefox reads the desktop's SOCKS setting but looks the names up itself: only its companion hides it.
    if (choice.firefox && platform::ProxyAddress::hasSocks5Scheme(proxy) &&
        !m_platform.companions->connectedBrowsers().contains(QStringLiteral("firefox")))
        qCWarning(lcBrowsers) << "no Firefox companion is connected: a Firefox behind the SOCKS5 proxy would look up"
                                 " site names itself, so it is not hidden";
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

QStringList TBrowserRoutines::UnprotectedWebRtc() const
{
    return m_platform.companions ? m_platform.companions->webRtcUnprotected() : QStringList();
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
