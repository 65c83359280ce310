#include "ListService.h"

#include "CheckPage.h"
#include "GeoIpDatabase.h"
#include "ProxyEntryLines.h"
#include "ProxyGatherer.h"
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
QByteArray addressCheckAnswer(const HttpRequest& request, const QString& caller)
{
    // Nothing a client sends may start a line of its own in the answer.
    auto oneLine = [](QByteArray text) { return text.replace('\r', ' ').replace('\n', ' '); };
    QByteArray out = "RemoteAddr=" + caller.toUtf8() + "\r\n";
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

// A value of /health, which anyone who can reach the service reads: one line, without the addresses,
// names and URLs that driver messages carry (who logs in to the database, and where). The log keeps the
// whole text.
QString healthValue(QString text)
{
    static const QRegularExpression url(QStringLiteral("\\b([A-Za-z][A-Za-z0-9+.-]*)://\\S*"));
    static const QRegularExpression userAtHost(QStringLiteral("[^\\s\"()<>]+@[^\\s\"()<>]+"));
    static const QRegularExpression quoted(QStringLiteral("\"[^\"]*\"")); // how libpq names users and hosts
    static const QRegularExpression ipv4(QStringLiteral("\\b\\d{1,3}(\\.\\d{1,3}){3}\\b"));
    static const QRegularExpression ipv6(QStringLiteral("(?<![\\w:])[0-9A-Fa-f]*:[0-9A-Fa-f]*:[0-9A-Fa-f:.%]*\\w*"));
    static const QRegularExpression lineBreaks(QStringLiteral("\\s*[\\r\\n]+\\s*"));
    static const QRegularExpression space(QStringLiteral("\\s+"));
    const QString hidden = QStringLiteral("<hidden>");
    text.replace(url, QStringLiteral("\\1://") + hidden)
        .replace(userAtHost, hidden)
        .replace(quoted, hidden)
        .replace(ipv4, hidden)
        .replace(ipv6, hidden)
        .replace(lineBreaks, QStringLiteral(" / "))
        .replace(space, QStringLiteral(" "));
    return text.trimmed().left(300);
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
    for (const QString& each : m_config.trustedProxies) {
        if (each.contains(QLatin1Char('/')))
            m_trusted.append(QHostAddress::parseSubnet(each));
        else {
            const QHostAddress a(each);
            m_trusted.append({a, a.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32});
        }
    }
    reloadPool();
}

bool ListService::trusted(const QHostAddress& address) const
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    const QHostAddress plain = isV4 ? QHostAddress(v4) : address;
    for (const auto& subnet : m_trusted) {
        if (plain.isInSubnet(subnet))
            return true;
    }
    return false;
}

QString ListService::callerAddress(const HttpRequest& request) const
{
    if (m_trusted.isEmpty() || !trusted(request.peer))
        return callerText(request.peer);
    // Each reverse proxy appends the address it got the request from; walking back from the right,
    // the first address not of our own proxies is the caller. Anything left of it may be forged.
    // Several header lines are one list, in order (a client's own line comes before the one our proxy adds).
    QByteArray forwarded;
    for (const auto& [name, value] : request.rawHeaders) {
        if (name.compare("x-forwarded-for", Qt::CaseInsensitive) == 0)
            forwarded += (forwarded.isEmpty() ? QByteArray() : QByteArray(",")) + value;
    }
    const QList<QByteArray> hops = forwarded.split(',');
    QString caller = callerText(request.peer);
    for (auto it = hops.crbegin(); it != hops.crend(); ++it) {
        const QHostAddress hop(QString::fromLatin1(it->trimmed()));
        if (hop.isNull())
            break; // garbage ends the chain we can believe
        caller = callerText(hop);
        if (!trusted(hop))
            break;
    }
    return caller;
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

QString ListService::flagUrl(const QString& host, const QString& country) const
{
    return QStringLiteral("http://") + host + QLatin1String(kLargeFlagPrefix) +
           QString::fromLatin1(QUrl::toPercentEncoding(country)) + QStringLiteral(".png");
}

QStringList ListService::callerLines(const QString& callerAddress, const QString& host) const
{
    // Placed by the GeoIP database when it knows the caller; else the configured place, as always.
    GeoPlace place;
    const bool known = m_geo && m_geo->lookup(callerAddress, place);
    const QString country = known ? place.country : m_config.localCountry;
    return {QStringLiteral("LocalIP=") + callerAddress, QStringLiteral("LocalCountry=") + country,
            QStringLiteral("CountryFlag=") + flagUrl(host, country),
            QStringLiteral("LocalLatitude=") + (known ? place.latitude : m_config.localLatitude),
            QStringLiteral("LocalLongitude=") + (known ? place.longitude : m_config.localLongitude)};
}

QByteArray ListService::checkedList(const QString& callerAddress, const QString& host)
{
    // The proxies are the same for every caller for a while; only the caller's own lines differ.
    if (m_listCacheHost != host || !m_listCacheAge.isValid() || m_listCacheAge.elapsed() >= kListCacheMs) {
        const ServiceConfig& gc = m_gatherer->config();
        // A pass is believed for two check intervals: one missed round does not empty the list.
        const qint64 since = ProxyGatherer::now() - 2 * qint64(gc.checkIntervalSec) - gc.checkTimeoutSec;
        const QList<const StoredProxy*> best = m_gatherer->store().best(since, gc.listSize, gc.defaultCountry);
        QList<ListedProxy> listed;
        for (const StoredProxy* each : best) {
            const StoredProxy& p = *each;
            const QString country = p.country(gc.defaultCountry);
            const QString info = p.anonymity.isEmpty() ? p.entry.info : p.anonymity;
            // A flag URL of a source would have every caller fetch from it, telling it who uses the list:
            // only the operator's own pool may name one.
            const bool ownFlag =
                !p.entry.flagUrl.isEmpty() && country == p.entry.country && m_gatherer->trustedSource(p.source);
            const QString flag = ownFlag ? p.entry.flagUrl : flagUrl(host, country);
            listed.append({p.entry.kind, p.entry.key(), info, country, flag, p.longitude(), p.latitude()});
        }
        const QStringList lines = ProxyEntryLines(listed);
        m_listCacheText = (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
        m_listCacheHost = host;
        m_listCacheAge.start();
    }
    return (callerLines(callerAddress, host).join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8() +
           m_listCacheText;
}

QByteArray ListService::proxyList(const QString& callerAddress, const QString& host)
{
    if (m_gatherer)
        return checkedList(callerAddress, host);
    reloadPool();
    QStringList lines = callerLines(callerAddress, host);
    QList<ListedProxy> listed;
    for (const PoolEntry& e : m_pool) {
        ListedProxy p{
            TProxyKind::Http, {},        e.info, e.country, e.flagUrl.isEmpty() ? flagUrl(host, e.country) : e.flagUrl,
            e.longitude,      e.latitude};
        QStringView hostPort;
        SplitProxyScheme(e.proxy, p.kind, hostPort); // the pool's reader let only known kinds in
        p.hostPort = hostPort.toString();
        listed.append(p);
    }
    lines << ProxyEntryLines(listed);
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

HttpResponse ListService::handle(const HttpRequest& request)
{
    ++m_metrics.requests;
    HttpResponse response = answer(request);
    if (response.status >= 400)
        ++m_metrics.requestErrors;
    return response;
}

HttpResponse ListService::answer(const HttpRequest& request)
{
    const QString& path = request.path;
    if (path == QLatin1String("/getproxy.php")) {
        ++m_metrics.listRequests;
        return HttpResponse::text(200, proxyList(callerAddress(request), hostFor(request)));
    }
    if (path == QLatin1String("/health"))
        return healthPage();
    if (path == QLatin1String("/metrics"))
        return metricsPage();
    if (path == QLatin1String("/getip.php")) {
        // Version 1 (the bare address) stays exactly as older programs read it.
        const QString version = request.param(QStringLiteral("VER"));
        if (version == QLatin1String("1"))
            return HttpResponse::text(200, callerAddress(request).toUtf8());
        if (version == QLatin1String("2"))
            return HttpResponse::text(200, addressCheckAnswer(request, callerAddress(request)));
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
                            .arg(callerAddress(request).toHtmlEscaped()),
                        request);
    if (path == QLatin1String("/check") || path == QLatin1String("/check/"))
        return CheckPage(request, callerAddress(request), [this](const QHostAddress& a) { return trusted(a); });
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
            .arg(m_config.infoText.toHtmlEscaped(), callerAddress(request).toHtmlEscaped())
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

HttpResponse ListService::healthPage()
{
    // Healthy while it can answer lists; a broken database or source is told, not fatal.
    QStringList lines{QStringLiteral("status=ok")};
    if (m_gatherer) {
        const ProxyStore& store = m_gatherer->store();
        lines << QStringLiteral("role=%1").arg(m_gatherer->leading() ? QStringLiteral("checker")
                                                                     : QStringLiteral("follower"));
        // Instances sharing a database each check a share: this one's beside every one's.
        lines << QStringLiteral("instance=%1").arg(m_gatherer->instanceId());
        const qint64 mine = m_metrics.checksLastMinute();
        const qint64 all = store.sharedChecksLastMinute();
        lines << QStringLiteral("checks.minute=%1").arg(mine);
        lines << QStringLiteral("checks.minute.all=%1").arg(all < 0 ? mine : all);
        if (all >= 0)
            lines << QStringLiteral("checkers.minute=%1").arg(store.sharedCheckers());
        lines << QStringLiteral("proxies=%1").arg(store.size());
        const qint64 since = ProxyGatherer::now() - 2 * qint64(m_gatherer->config().checkIntervalSec) -
                             m_gatherer->config().checkTimeoutSec;
        lines << QStringLiteral("passing=%1").arg(store.best(since, INT_MAX).size());
        lines << QStringLiteral("database=%1")
                     .arg(!store.usesDatabase() ? QStringLiteral("none")
                          : store.databaseError().isEmpty()
                              ? QStringLiteral("ok")
                              : QStringLiteral("error: ") + healthValue(store.databaseError()));
        // Changes pile up while the database is slow or away; they are written once it works again.
        if (const qint64 unwritten = store.unwrittenChanges(); unwritten > 0)
            lines << QStringLiteral("database.unwritten=%1").arg(unwritten);
        if (const QString delay = store.databaseDelay(); !delay.isEmpty())
            lines << QStringLiteral("database.slow=") + delay;
        for (auto it = m_gatherer->sourceErrors().cbegin(); it != m_gatherer->sourceErrors().cend(); ++it)
            lines << QStringLiteral("source.%1=error: %2").arg(it.key(), healthValue(it.value()));
        for (auto it = m_gatherer->sourceWarnings().cbegin(); it != m_gatherer->sourceWarnings().cend(); ++it)
            lines << QStringLiteral("source.%1=warning: %2").arg(it.key(), healthValue(it.value()));
    } else {
        lines << QStringLiteral("proxies=%1").arg(m_pool.size());
    }
    return HttpResponse::text(200, (lines.join(QStringLiteral("\n")) + QLatin1Char('\n')).toUtf8());
}

HttpResponse ListService::metricsPage()
{
    auto label = [](QString text) {
        return text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
            .replace(QLatin1Char('"'), QStringLiteral("\\\""))
            .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    };
    QString out;
    auto metric = [&out](const char* name, const char* type, const char* help, const QString& samples) {
        out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n%4")
                   .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type), samples);
    };
    auto sample = [](const char* name, double value, const QString& labels = QString()) {
        return QStringLiteral("%1%2 %3\n")
            .arg(QLatin1String(name), labels.isEmpty() ? QString() : QLatin1Char('{') + labels + QLatin1Char('}'))
            .arg(value, 0, 'g', 12);
    };
    const int known = m_gatherer ? m_gatherer->store().size() : int(m_pool.size());
    metric("veilport_proxies_known", "gauge", "Proxies the service knows.", sample("veilport_proxies_known", known));
    if (m_gatherer) {
        const ServiceConfig& gc = m_gatherer->config();
        const qint64 since = ProxyGatherer::now() - 2 * qint64(gc.checkIntervalSec) - gc.checkTimeoutSec;
        QMap<QPair<QString, QString>, int> passing;
        for (const StoredProxy* p : m_gatherer->store().best(since, INT_MAX))
            ++passing[{p->country(gc.defaultCountry),
                       p->anonymity.isEmpty() ? QStringLiteral("unknown") : p->anonymity}];
        QString samples;
        for (auto it = passing.cbegin(); it != passing.cend(); ++it)
            samples += sample(
                "veilport_proxies_passing", it.value(),
                QStringLiteral("country=\"%1\",class=\"%2\"").arg(label(it.key().first), label(it.key().second)));
        metric("veilport_proxies_passing", "gauge", "Proxies whose last check passed, by country and class.", samples);
        metric(
            "veilport_checks_total", "counter", "Proxy checks finished.",
            sample("veilport_checks_total", double(m_metrics.checks - m_metrics.checksPassed),
                   QStringLiteral("outcome=\"failed\"")) +
                sample("veilport_checks_total", double(m_metrics.checksPassed), QStringLiteral("outcome=\"passed\"")));
        metric("veilport_checks_per_second", "gauge", "Proxy checks finished per second over the last minute.",
               sample("veilport_checks_per_second", m_metrics.checksPerSecond()));
        const qint64 mine = m_metrics.checksLastMinute();
        const qint64 all = m_gatherer->store().sharedChecksLastMinute();
        metric(
            "veilport_checks_last_minute", "gauge",
            "Proxy checks finished over the last minute by this instance and by every instance sharing its "
            "database.",
            sample("veilport_checks_last_minute", double(mine),
                   QStringLiteral("instance=\"%1\",scope=\"instance\"").arg(label(m_gatherer->instanceId()))) +
                sample("veilport_checks_last_minute", double(all < 0 ? mine : all), QStringLiteral("scope=\"all\"")));
        metric("veilport_check_results_dropped_total", "counter",
               "Check results not written because their lease had run out and another instance had taken the proxy "
               "(or it was forgotten) meanwhile.",
               sample("veilport_check_results_dropped_total", double(m_gatherer->store().droppedResults())));
        metric("veilport_checks_in_flight", "gauge", "Proxy checks running now.",
               sample("veilport_checks_in_flight", m_gatherer->checksInFlight()));
        metric("veilport_source_errors_total", "counter", "Source fetches that failed.",
               sample("veilport_source_errors_total", double(m_metrics.sourceErrors)));
        metric("veilport_source_entries_refused_total", "counter",
               "Source entries refused for naming no global address (loopback, private, reserved...).",
               sample("veilport_source_entries_refused_total", double(m_metrics.refusedEntries)));
        metric("veilport_database_errors_total", "counter", "Database statements that failed.",
               sample("veilport_database_errors_total", m_gatherer->store().databaseErrors()));
    }
    metric("veilport_list_requests_total", "counter", "Proxy list requests answered.",
           sample("veilport_list_requests_total", double(m_metrics.listRequests)));
    metric("veilport_requests_total", "counter", "Requests answered.",
           sample("veilport_requests_total", double(m_metrics.requests)));
    metric("veilport_request_errors_total", "counter", "Requests answered with an error status.",
           sample("veilport_request_errors_total", double(m_metrics.requestErrors)));
    HttpResponse response = HttpResponse::text(200, out.toUtf8());
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return response;
}
