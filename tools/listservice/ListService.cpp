#include "ListService.h"

#include "WorldMap.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>

#include <cstdio>
#include <cstring>

namespace {

const char* const kSmallFlagPrefix = "/tpl/images/flag_small/";
const char* const kLargeFlagPrefix = "/images/flag/";
constexpr int kMaxTagLength = 200;

// The caller as the service sees it; IPv4 callers on a dual-stack socket appear as ::ffff:a.b.c.d.
QString callerText(const QHostAddress& peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : peer.toString();
}

// The address check of the program's proxy test: where the request came from and every header that
// reached us, so the program can tell whether the proxy passed the user's own address on.
QByteArray addressCheckAnswer(const HttpRequest& request)
{
    // Nothing a client sends may start a line of its own in the answer.
    auto oneLine = [](QByteArray text) { return text.replace('\r', ' ').replace('\n', ' '); };
    QByteArray out = "RemoteAddr=" + callerText(request.peer).toUtf8() + "\r\n";
    for (const auto& [name, value] : request.rawHeaders) {
        if (name.compare("host", Qt::CaseInsensitive) != 0)
            out += "Header." + oneLine(name).replace('=', '_') + '=' + oneLine(value) + "\r\n";
    }
    return out;
}

bool parseCoordinate(const QString& text, double limit)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    return ok && v >= -limit && v <= limit;
}

QByteArray pageShell(const QString& title, const QString& body)
{
    return QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title>"
                          "<style>body{font:14px sans-serif;margin:2em;color:#222;}code{background:#eee;padding:2px;}"
                          "</style></head><body><h1>%1</h1>\n%2\n</body></html>\n")
        .arg(title.toHtmlEscaped(), body)
        .toUtf8();
}

} // namespace

ListService::ListService(ServiceConfig config, QString poolFile, FlagStore* flags)
    : m_config(std::move(config)), m_poolFile(std::move(poolFile)), m_flags(flags)
{
    reloadPool();
}

void ListService::reloadPool()
{
    if (m_poolFile.isEmpty())
        return;
    QFile f(m_poolFile);
    if (!f.open(QIODevice::ReadOnly)) {
        // Keep serving the last good pool while the file is being replaced or is unreadable.
        std::fprintf(stderr, "veilport-listservice: cannot read pool %s\n", qPrintable(m_poolFile));
        return;
    }
    const QByteArray text = f.readAll();
    if (text == m_poolText && !m_poolText.isNull())
        return;
    m_poolText = text;
    QStringList warnings;
    m_pool = ParsePool(text, warnings);
    for (const QString& w : warnings)
        std::fprintf(stderr, "veilport-listservice: %s: %s\n", qPrintable(m_poolFile), qPrintable(w));
}

QString ListService::hostFor(const HttpRequest& request) const
{
    if (!m_config.publicHost.isEmpty())
        return m_config.publicHost;
    const QString host = QString::fromLatin1(request.headers.value("host"));
    // A Host header is only trusted when it looks like host[:port]; anything else would end up in URLs.
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9.\\-\\[\\]:]{1,255}$"));
    return valid.match(host).hasMatch() ? host : QStringLiteral("127.0.0.1");
}

QByteArray ListService::proxyList(const QString& callerAddress, const QString& host)
{
    reloadPool();
    const QString base = QStringLiteral("http://") + host;
    auto flagUrl = [&](const QString& country) {
        return base + QLatin1String(kLargeFlagPrefix) + QString::fromLatin1(QUrl::toPercentEncoding(country)) +
               QStringLiteral(".png");
    };
    QStringList lines;
    lines << QStringLiteral("LocalIP=") + callerAddress;
    lines << QStringLiteral("LocalCountry=") + m_config.localCountry;
    lines << QStringLiteral("CountryFlag=") + flagUrl(m_config.localCountry);
    lines << QStringLiteral("LocalLatitude=") + m_config.localLatitude;
    lines << QStringLiteral("LocalLongitude=") + m_config.localLongitude;
    lines << QStringLiteral("ProxyCount=%1").arg(m_pool.size());
    for (int i = 0; i < m_pool.size(); ++i) {
        const PoolEntry& e = m_pool[i];
        lines << QStringLiteral("Proxy_%1=%2|%3|%4|%5|%6|%7")
                     .arg(i)
                     .arg(e.proxy, e.info, e.country, e.flagUrl.isEmpty() ? flagUrl(e.country) : e.flagUrl, e.longitude,
                          e.latitude);
    }
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

HttpResponse ListService::handle(const HttpRequest& request)
{
    const QString& path = request.path;
    if (path == QLatin1String("/getproxy.php"))
        return HttpResponse::text(200, proxyList(callerText(request.peer), hostFor(request)));
    if (path == QLatin1String("/getip.php")) {
        // Version 1 (the bare address) stays exactly as older programs read it.
        const QString version = request.param(QStringLiteral("VER"));
        if (version == QLatin1String("1"))
            return HttpResponse::text(200, callerText(request.peer).toUtf8());
        if (version == QLatin1String("2"))
            return HttpResponse::text(200, addressCheckAnswer(request));
        return HttpResponse::text(400, "VER=1 or VER=2 expected\n");
    }
    if (path == QLatin1String("/update/") || path == QLatin1String("/update")) {
        const QString answer =
            QStringLiteral("magicword=%1\r\nResult=%2\r\ninfo=%3\r\npage=%4\r\n")
                .arg(m_config.magicWord, m_config.updateResult, m_config.updateInfo, m_config.updatePage);
        return HttpResponse::text(200, answer.toUtf8());
    }
    if (path.startsWith(QLatin1String(kSmallFlagPrefix)))
        return flagResponse(path.mid(int(strlen(kSmallFlagPrefix))), FlagStore::Size::Small);
    if (path.startsWith(QLatin1String(kLargeFlagPrefix)))
        return flagResponse(path.mid(int(strlen(kLargeFlagPrefix))), FlagStore::Size::Large);
    if (path == QLatin1String("/favicon.ico")) // asked for by every web view showing our pages
        return flagResponse(QStringLiteral("un.png"), FlagStore::Size::Small);
    if (path == QLatin1String("/map/map.php"))
        return mapPage(request);
    if (path == QLatin1String("/info.php"))
        return infoPage(request);
    if (path == QLatin1String("/ipseeker.php"))
        return sitePage(QStringLiteral("Your IP address"),
                        QStringLiteral("<p>Web sites see you as <b id=\"ip\">%1</b>.</p>")
                            .arg(callerText(request.peer).toHtmlEscaped()),
                        request);
    if (path == QLatin1String("/help.php"))
        return sitePage(QStringLiteral("Veilport help"),
                        QStringLiteral("<p>Choose <b>Hide</b> to hide your address behind a tested proxy, "
                                       "<b>Choose IP Country</b> to pick the country, and <b>Stop Hide</b> to "
                                       "connect directly again.</p>"),
                        request);
    if (path == QLatin1String("/redirect.php"))
        return sitePage(QStringLiteral("Veilport"),
                        QStringLiteral("<p>This page is served by the local list "
                                       "service.</p>"),
                        request);
    if (path == QLatin1String("/") || path == QLatin1String("/index.php"))
        return sitePage(QStringLiteral("Veilport"),
                        QStringLiteral("<p>Local list service with %1 proxies.</p>").arg(m_pool.size()), request);
    return HttpResponse::text(404, "Not found\n");
}

HttpResponse ListService::flagResponse(const QString& fileName, FlagStore::Size size)
{
    if (!fileName.endsWith(QLatin1String(".png"), Qt::CaseInsensitive) || fileName.contains(QLatin1Char('/')))
        return HttpResponse::text(404, "Not found\n");
    const QString country = fileName.left(fileName.size() - 4);
    const QByteArray png = m_flags ? m_flags->flag(country, size) : QByteArray();
    if (png.isEmpty())
        return HttpResponse::text(404, "Unknown country\n");
    return HttpResponse{200, "image/png", png};
}

HttpResponse ListService::mapPage(const HttpRequest& request)
{
    for (const char* name : {"tag", "longitude", "latitude"})
        if (!request.hasParam(QLatin1String(name)))
            return HttpResponse::text(400, QByteArray("missing parameter ") + name + '\n');
    const QString tag = request.param(QStringLiteral("tag"));
    const QString lon = request.param(QStringLiteral("longitude")).trimmed();
    const QString lat = request.param(QStringLiteral("latitude")).trimmed();
    if (tag.size() > kMaxTagLength)
        return HttpResponse::text(400, "tag too long\n");
    // Before the first list has arrived the program asks with empty values: a plain map, not an error.
    const bool place = !lon.isEmpty() || !lat.isEmpty();
    if (place && (!parseCoordinate(lon, 180) || !parseCoordinate(lat, 90)))
        return HttpResponse::text(400, "longitude must be -180..180 and latitude -90..90\n");
    return HttpResponse::html(200, WorldMapPage(tag, place ? lon : QString(), place ? lat : QString()));
}

HttpResponse ListService::infoPage(const HttpRequest& request)
{
    // Sized for the main window's 449 x 57 web area: one line of text, no scroll bars.
    const QString page =
        QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Info</title>"
                       "<style>html,body{margin:0;padding:0;width:449px;height:57px;overflow:hidden;"
                       "background:#f4f6f9;font:12px sans-serif;color:#234;}"
                       "div{box-sizing:border-box;width:449px;height:57px;padding:8px 10px;}"
                       "b{color:#1b5e9e;}</style></head><body><div><b>%1</b><br>Your address: %2 &middot; "
                       "%3 proxies listed</div></body></html>\n")
            .arg(m_config.infoText.toHtmlEscaped(), callerText(request.peer).toHtmlEscaped())
            .arg(m_pool.size());
    return HttpResponse::html(200, page.toUtf8());
}

HttpResponse ListService::sitePage(const QString& title, const QString& text, const HttpRequest& request)
{
    QString body = text;
    const QString action = request.param(QStringLiteral("ACTION"));
    if (!action.isEmpty())
        body += QStringLiteral("<p>Opened from <code>%1</code>, position %2.</p>")
                    .arg(action.toHtmlEscaped(), request.param(QStringLiteral("CPOS")).toHtmlEscaped());
    return HttpResponse::html(200, pageShell(title, body));
}
