#include "config/TSettings.h"
#include "platform/ProcessRunner.h"
#include "proxy/TBrowserRoutines.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString kChromePage = QStringLiteral("chrome://veilport/content/veilport.xul");

QStringList chromeCommand(const QString& url)
{
    // The URL stays one argument whatever it holds: a proxy text from the service cannot add
    // options of its own to Firefox's command line.
    return {QStringLiteral("-silent"), QStringLiteral("-nosplash"), QStringLiteral("-chrome"), url};
}

bool isExistingFile(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

} // namespace

QStringList TBrowserRoutines::FirefoxSetProxyArgs(const QString& proxy)
{
    const qsizetype colon = proxy.indexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? QString() : proxy.left(colon);
    const QString port = colon < 0 ? proxy : proxy.mid(colon + 1);
    return chromeCommand(kChromePage + QStringLiteral("?ssl=&proxy=") + host + QStringLiteral("&port=") + port);
}

QStringList TBrowserRoutines::FirefoxClearProxyArgs()
{
    return chromeCommand(kChromePage + QStringLiteral("?clear"));
}

QStringList TBrowserRoutines::FirefoxClearCookiesArgs()
{
    return chromeCommand(kChromePage + QStringLiteral("?cc"));
}

QStringList TBrowserRoutines::FirefoxInstallArgs()
{
    return {QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("evport.xpi"))};
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
    if (!settings || !m_platform.processes)
        return;
    QString p = proxy;
    if (!settings->ReadBool(QStringLiteral("FF"), true))
        p.clear();
    const QString path = GetFirefoxPath();
    if (path.isEmpty())
        return;
    const QStringList args = p.isEmpty() ? FirefoxClearProxyArgs() : FirefoxSetProxyArgs(p);
    const auto result = m_platform.processes->runAndWait(path, args, m_platform.firefoxWaitMs);
    if (result == platform::ProcessRunner::WaitResult::TimedOut)
        qCDebug(lcBrowsers) << "Firefox did not end within" << m_platform.firefoxWaitMs << "ms and was ended";
}

bool TBrowserRoutines::InstallFirefoxExtension()
{
    const QString path = GetFirefoxPath();
    if (path.isEmpty() || !m_platform.processes)
        return false;
    return m_platform.processes->startDetached(path, FirefoxInstallArgs());
}

void TBrowserRoutines::ClearFirefoxCookies()
{
    const QString path = GetFirefoxPath();
    if (!isExistingFile(path) || !m_platform.processes)
        return;
    qCDebug(lcBrowsers) << "cmd";
    m_platform.processes->startDetached(path, FirefoxClearCookiesArgs());
    qCDebug(lcBrowsers) << "SP_CreateProcess";
}
