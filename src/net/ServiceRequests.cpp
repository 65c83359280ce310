#include "net/ServiceRequests.h"

#include "config/TSettings.h"
#include "platform/SystemInfo.h"
#include "util/SPTools.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstdlib>

QueryStringValues CollectQueryValues(const TSettings& settings, const platform::SystemInfo& system)
{
    QueryStringValues values;
    values.language = settings.ReadString(QStringLiteral("Language"), QStringLiteral("English"));
    values.versionCode = settings.VersionCode();
    values.subVersion = settings.SubVersion();
    values.osMajor = system.osMajorVersion();
    values.osMinor = system.osMinorVersion();
    values.servicePack = system.servicePackText();
    values.languageId = system.systemLanguageId();
    values.channel = system.channel(settings.GetConst(QStringLiteral("App.RegPath")), QStringLiteral("unknow"));
    return values;
}

QString ChannelCode(const QString& channel)
{
    QString text = channel;
    text.remove(QLatin1Char('"'));
    // A distributor may record the path of the installer it shipped; only its name matters.
    const qsizetype cut = std::max(
        {text.lastIndexOf(QLatin1Char('\\')), text.lastIndexOf(QLatin1Char(':')), text.lastIndexOf(QLatin1Char('/'))});
    if (cut >= 0)
        text = text.mid(cut + 1);
    return BytesToHex(text.toLocal8Bit());
}

QString BuildQueryString(const QueryStringValues& values)
{
    const QString version = QStringLiteral("%1").arg(values.versionCode & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
    return QStringLiteral("&LANG=") + values.language + QStringLiteral("&VER=") + version + QStringLiteral("&SVER=") +
           QString::number(values.subVersion) + QStringLiteral("&WVER=") + QString::number(values.osMajor) +
           QLatin1Char('_') + QString::number(values.osMinor) + QLatin1Char('_') + values.servicePack.left(128) +
           QStringLiteral("&WLANG=") + QString::number(values.languageId) + QStringLiteral("&CHL=") +
           ChannelCode(values.channel);
}

QString BuildQueryString(const TSettings& settings, const platform::SystemInfo& system)
{
    return BuildQueryString(CollectQueryValues(settings, system));
}

QString BuildSiteUrl(const TSettings& settings, const QString& queryString, const QString& key, bool withQuery)
{
    QString url = settings.GetConst(QStringLiteral("URL.") + key);
    if (!url.trimmed().isEmpty()) {
        // Lets a distributor point a page at a file installed beside the program.
        static const QRegularExpression exePath(QStringLiteral("%exepath%"), QRegularExpression::CaseInsensitiveOption);
        const QString folder = settings.ProgramFolder();
        url.replace(exePath, QString(folder).replace(QLatin1Char('\\'), QStringLiteral("\\\\")));
    } else {
        url = settings.GetConst(QStringLiteral("URL.Redirect"));
    }
    if (withQuery && TextStartsWith(url, QStringLiteral("http")))
        url = AddUrlParams(url, queryString + QStringLiteral("&ACTION=") + key);
    return url;
}

QString SitePageUrl(const TSettings& settings, const QString& queryString, const QString& key, int position)
{
    return BuildSiteUrl(settings, queryString, key, true) + QStringLiteral("&CPOS=") + QString::number(position);
}

QString CheckPageUrl(const TSettings& settings, const QString& queryString, const QString& localIp)
{
    const QString url = BuildSiteUrl(settings, queryString, QStringLiteral("CHECK"), true);
    if (url.trimmed().isEmpty())
        return QString();
    // Only address text goes on: the value comes from the list, which anyone on the way may have written.
    QString address = localIp.trimmed();
    static const QRegularExpression addressText(QStringLiteral("^[0-9A-Fa-f:.]{1,45}$"));
    if (!addressText.match(address).hasMatch())
        address.clear();
    return url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&LocalIP=") : QStringLiteral("?LocalIP=")) + address;
}

QString UpdateRequestUrl(const TSettings& settings, const QString& queryString)
{
    QString host = settings.GetConst(QStringLiteral("URL.ServiceHost")).trimmed();
    if (host.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        host = host.mid(7);
    while (host.endsWith(QLatin1Char('/')))
        host.chop(1);
    return QStringLiteral("http://") + host + QStringLiteral("/update/?") + queryString;
}

int DayNumber(const QDateTime& moment)
{
    static const QDate epoch(1899, 12, 30);
    return int(epoch.daysTo(moment.toLocalTime().date()));
}

bool AutoCheckDue(int lastCheckDay, int today)
{
    return std::abs(qint64(lastCheckDay) - qint64(today)) != 0;
}
