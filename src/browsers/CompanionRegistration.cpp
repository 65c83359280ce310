#include "browsers/CompanionRegistration.h"

#include "platform/CompanionIdentity.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

namespace c = platform::companion;

QJsonObject manifest(const QString& hostExecutable)
{
    return {{QStringLiteral("name"), QString(c::HostName)},
            {QStringLiteral("description"), QStringLiteral("Veilport browser companion")},
            {QStringLiteral("path"), hostExecutable},
            {QStringLiteral("type"), QStringLiteral("stdio")}};
}

// Writes the file unless the way to it from base goes through a link: a folder someone pointed
// elsewhere must not make the program write outside the browser's own folder.
QString writeManifest(const QString& file, const QJsonObject& content, const QString& base)
{
    for (QString step = file; step.size() > base.size() && step.startsWith(base);
         step = QFileInfo(step).absolutePath()) {
        if (QFileInfo(step).isSymLink())
            return QStringLiteral("a link, left alone");
    }
    const QString folder = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot create the folder");
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return out.errorString();
    out.write(QJsonDocument(content).toJson());
    if (!out.commit())
        return out.errorString();
    return {};
}

} // namespace

QString CompanionRegistration::firefoxManifest(const QString& home)
{
    return home + QStringLiteral("/.mozilla/native-messaging-hosts/") + QString(c::HostName) + QStringLiteral(".json");
}

QString CompanionRegistration::chromiumManifest(const QString& browserConfigFolder)
{
    return browserConfigFolder + QStringLiteral("/NativeMessagingHosts/") + QString(c::HostName) +
           QStringLiteral(".json");
}

CompanionRegistration::Result CompanionRegistration::registerHost(const QString& hostExecutable, const QString& home,
                                                                  const QString& configHome)
{
    const QString userHome = home.isEmpty() ? QDir::homePath() : home;
    QString config = configHome;
    if (config.isEmpty())
        config = qEnvironmentVariable("XDG_CONFIG_HOME", userHome + QStringLiteral("/.config"));

    Result result;
    auto write = [&result](const QString& file, const QJsonObject& content, const QString& base) {
        const QString error = writeManifest(file, content, base);
        if (error.isEmpty())
            result.registered << file;
        else
            result.failed << file + QStringLiteral(": ") + error;
    };

    QJsonObject firefox = manifest(hostExecutable);
    firefox.insert(QStringLiteral("allowed_extensions"), QJsonArray{QString(c::FirefoxExtensionId)});
    write(firefoxManifest(userHome), firefox, userHome);

    QJsonObject chromium = manifest(hostExecutable);
    chromium.insert(QStringLiteral("allowed_origins"),
                    QJsonArray{QStringLiteral("chrome-extension://%1/").arg(c::ChromiumExtensionId)});
    write(chromiumManifest(config + QStringLiteral("/chromium")), chromium, config);
    for (const QString& other :
         {QStringLiteral("google-chrome"), QStringLiteral("BraveSoftware/Brave-Browser"), QStringLiteral("vivaldi")}) {
        const QString folder = config + QLatin1Char('/') + other;
        if (QFileInfo(folder).isDir())
            write(chromiumManifest(folder), chromium, config);
    }
    return result;
}
