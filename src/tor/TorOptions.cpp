#include "tor/TorOptions.h"

#include "config/TSettings.h"
#include "platform/Environment.h"
#include "util/SPTools.h"

#include <QStandardPaths>

TorOptions TorOptions::fromConstants(const TSettings& settings)
{
    TorOptions options;
    options.bootstrapTimeoutMs =
        qBound(1, settings.GetConstInt(QStringLiteral("Tor.BootstrapTimeout"), 120), 3600) * 1000;
    options.checkUrl = settings.GetConst(QStringLiteral("Tor.CheckURL")).trimmed();
    if (options.checkUrl.isEmpty())
        options.checkUrl = QStringLiteral("https://check.torproject.org/api/ip");
    QString folderName = settings.GetConst(QStringLiteral("App.ConfigPath")).trimmed();
    if (!IsPlainFileName(folderName))
        folderName = QStringLiteral("Veilport");
    options.dataFolder = platform::userCacheFolder() + u'/' + folderName + QStringLiteral("/tor");
    return options;
}

QString TorOptions::findProgram()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("tor"));
    if (!onPath.isEmpty())
        return onPath;
    // Debian installs tor in /usr/sbin, which a user's PATH often leaves out.
    return QStandardPaths::findExecutable(QStringLiteral("tor"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
}
