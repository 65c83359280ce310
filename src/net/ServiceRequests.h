#pragma once

#include <QDateTime>
#include <QString>

class TSettings;

namespace platform {
class SystemInfo;
}

// The addresses the program requests from or opens at its vendor's service. Every one carries
// the common query string, which tells the service the language, version and platform.

// The values that make up the common query string.
struct QueryStringValues
{
    QString language;    // language file name in use
    int versionCode = 0; // packed program version
    int subVersion = 0;
    int osMajor = 0;
    int osMinor = 0;
    QString servicePack; // release text, may be empty
    quint32 languageId = 0;
    QString channel; // distribution channel as recorded, before encoding
};

// Reads the query values from the settings and the platform.
QueryStringValues CollectQueryValues(const TSettings& settings, const platform::SystemInfo& system);
// "&LANG=..&VER=..&SVER=..&WVER=..&WLANG=..&CHL=..": values inserted as they are, unescaped.
QString BuildQueryString(const QueryStringValues& values);
// The common query string of this program on this machine.
QString BuildQueryString(const TSettings& settings, const platform::SystemInfo& system);
// The channel as sent: quotes removed, only the file-name part kept, hex-encoded.
QString ChannelCode(const QString& channel);

// The address of site page key ("help", "home"): the constant URL.<key> (with %exepath% standing
// for the program folder) or URL.Redirect when that is blank, with the query string and
// "&ACTION=<key>" added when withQuery is set and the address is a web address.
QString BuildSiteUrl(const TSettings& settings, const QString& queryString, const QString& key, bool withQuery);
// The address OpenSitePage opens: BuildSiteUrl with query, then "&CPOS=<position>".
QString SitePageUrl(const TSettings& settings, const QString& queryString, const QString& key, int position);
// The page that shows what sites see of the user, URL.CHECK as BuildSiteUrl makes it (key "CHECK"), then
// "&LocalIP=" and the user's own address as the proxy list named it, so that the page can tell whether the
// address it sees is the user's. Empty when URL.CHECK and URL.Redirect are both blank.
QString CheckPageUrl(const TSettings& settings, const QString& queryString, const QString& localIp);
// "http://<URL.ServiceHost>/update/?" followed by the query string.
QString UpdateRequestUrl(const TSettings& settings, const QString& queryString);

// Whole days from 30 December 1899 to the local date of moment.
int DayNumber(const QDateTime& moment);
// Whether the automatic update check is due: another day than lastCheckDay, either way.
bool AutoCheckDue(int lastCheckDay, int today);
