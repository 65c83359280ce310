#include "ServiceConfig.h"

#include "proxy/ProxyKind.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

namespace {

bool validCoordinate(const QString& text, double limit)
{
    if (text.isEmpty())
        return true; // left empty, the map shows no marker
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok && v >= -limit && v <= limit;
}

bool validProxy(const QString& address)
{
    TProxyKind kind = TProxyKind::Http;
    QStringView hostPort;
    if (!SplitProxyScheme(address, kind, hostPort))
        return false;
    const QString proxy = hostPort.toString();
    const int colon = proxy.lastIndexOf(':');
    if (colon <= 0)
        return false;
    bool ok = false;
    const int port = proxy.mid(colon + 1).toInt(&ok);
    return ok && port >= 1 && port <= 65535 && !proxy.left(colon).contains(QLatin1Char(' '));
}

// "on"/"off" and the usual spellings of true and false.
bool parseSwitch(const QString& value, bool& out)
{
    const QString v = value.toLower();
    for (const char* yes : {"on", "true", "yes", "1"}) {
        if (v == QLatin1String(yes)) {
            out = true;
            return true;
        }
    }
    for (const char* no : {"off", "false", "no", "0"}) {
        if (v == QLatin1String(no)) {
            out = false;
            return true;
        }
    }
    return false;
}

bool parseBound(const QString& value, int low, int high, int& out)
{
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok || v < low || v > high)
        return false;
    out = v;
    return true;
}

// Integer settings: name, bounds, target.
struct IntSetting
{
    const char* name;
    int low;
    int high;
    int ServiceConfig::*field;
};

const IntSetting kIntSettings[] = {
    {"checkinterval", 10, 7 * 86400, &ServiceConfig::checkIntervalSec},
    {"checkconcurrency", 1, 4096, &ServiceConfig::checkConcurrency},
    {"checktimeout", 1, 300, &ServiceConfig::checkTimeoutSec},
    {"maxfailures", 1, 1000, &ServiceConfig::maxFailures},
    {"listsize", 1, 10000, &ServiceConfig::listSize},
    {"maxproxies", 1, 10000000, &ServiceConfig::maxProxies},
    {"historydays", 1, 3650, &ServiceConfig::historyDays},
};

} // namespace

QString SourceFormatName(SourceFormat format)
{
    switch (format) {
    case SourceFormat::Plain:
        return QStringLiteral("plain");
    case SourceFormat::Socks5:
        return QStringLiteral("socks5");
    case SourceFormat::Veilport:
        return QStringLiteral("veilport");
    case SourceFormat::Csv:
        return QStringLiteral("csv");
    case SourceFormat::Json:
        return QStringLiteral("json");
    case SourceFormat::Pool:
        return QStringLiteral("pool");
    }
    return QString();
}

bool ParseSourceLine(const QString& text, SourceSetting& setting, QString& error)
{
    const QStringList f = text.split(QLatin1Char('|'));
    if (f.size() < 3 || f.size() > 5) {
        error = QStringLiteral("Source expects NAME|FORMAT|LOCATION[|REFRESH_SECONDS[|MAX_BYTES]]");
        return false;
    }
    setting.name = f[0].trimmed();
    static const QRegularExpression nameRule(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    if (!nameRule.match(setting.name).hasMatch()) {
        error = QStringLiteral("source name \"%1\" must be 1 to 64 letters, digits, '_', '.' or '-'").arg(setting.name);
        return false;
    }
    const QString format = f[1].trimmed().toLower();
    bool known = false;
    for (SourceFormat each : {SourceFormat::Plain, SourceFormat::Socks5, SourceFormat::Veilport, SourceFormat::Csv,
                              SourceFormat::Json, SourceFormat::Pool}) {
        if (SourceFormatName(each) == format) {
            setting.format = each;
            known = true;
        }
    }
    if (!known) {
        error = QStringLiteral("source %1: format \"%2\" is not plain, socks5, veilport, csv, json or pool")
                    .arg(setting.name, f[1]);
        return false;
    }
    setting.location = f[2].trimmed();
    if (setting.location.isEmpty()) {
        error = QStringLiteral("source %1: no location").arg(setting.name);
        return false;
    }
    if (f.size() > 3 && !f[3].trimmed().isEmpty() && !parseBound(f[3].trimmed(), 1, 30 * 86400, setting.refreshSec)) {
        error = QStringLiteral("source %1: refresh must be 1 to 2592000 seconds").arg(setting.name);
        return false;
    }
    if (f.size() > 4 && !f[4].trimmed().isEmpty()) {
        bool ok = false;
        setting.maxBytes = f[4].trimmed().toLongLong(&ok);
        if (!ok || setting.maxBytes < 1 || setting.maxBytes > 1024ll * 1024 * 1024) {
            error = QStringLiteral("source %1: size cap must be 1 byte to 1 GiB").arg(setting.name);
            return false;
        }
    }
    return true;
}

bool LoadServiceConfig(const QString& fileName, ServiceConfig& config, QString& error)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(fileName, f.errorString());
        return false;
    }
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('[')))
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            error = QStringLiteral("%1:%2: expected Name=Value").arg(fileName).arg(i + 1);
            return false;
        }
        const QString name = line.left(eq).trimmed().toLower();
        const QString value = line.mid(eq + 1).trimmed();
        if (name == QLatin1String("localcountry"))
            config.localCountry = value;
        else if (name == QLatin1String("locallongitude"))
            config.localLongitude = value;
        else if (name == QLatin1String("locallatitude"))
            config.localLatitude = value;
        else if (name == QLatin1String("publichost"))
            config.publicHost = value;
        else if (name == QLatin1String("magicword"))
            config.magicWord = value;
        else if (name == QLatin1String("result"))
            config.updateResult = value;
        else if (name == QLatin1String("info"))
            config.updateInfo = value;
        else if (name == QLatin1String("page"))
            config.updatePage = value;
        else if (name == QLatin1String("infotext"))
            config.infoText = value;
        else if (name == QLatin1String("source")) {
            SourceSetting setting;
            QString why;
            if (!ParseSourceLine(value, setting, why)) {
                error = QStringLiteral("%1:%2: %3").arg(fileName).arg(i + 1).arg(why);
                return false;
            }
            for (const SourceSetting& other : config.sources) {
                if (other.name == setting.name) {
                    error = QStringLiteral("%1:%2: source %3 named twice").arg(fileName).arg(i + 1).arg(setting.name);
                    return false;
                }
            }
            config.sources.append(setting);
        } else if (name == QLatin1String("check") || name == QLatin1String("allowprivateaddresses")) {
            if (!parseSwitch(value, name == QLatin1String("check") ? config.check : config.allowPrivateAddresses)) {
                error = QStringLiteral("%1:%2: %3 is on or off").arg(fileName).arg(i + 1).arg(line.left(eq).trimmed());
                return false;
            }
        } else if (name == QLatin1String("database"))
            config.database = value;
        else if (name == QLatin1String("publicaddress"))
            config.publicAddress = value;
        else if (name == QLatin1String("publictlsaddress"))
            config.publicTlsAddress = value;
        else if (name == QLatin1String("geoip"))
            config.geoIp = value;
        else if (name == QLatin1String("checkeraddress"))
            config.checkerAddress = value;
        else if (name == QLatin1String("defaultcountry"))
            config.defaultCountry = value.isEmpty() ? config.defaultCountry : value;
        else if (name == QLatin1String("trustedproxies")) {
            config.trustedProxies.clear();
            for (const QString& each : value.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
                const bool subnet = each.contains(QLatin1Char('/'));
                if ((subnet && QHostAddress::parseSubnet(each).first.isNull()) ||
                    (!subnet && QHostAddress(each).isNull())) {
                    error =
                        QStringLiteral("%1:%2: \"%3\" is not an address or subnet").arg(fileName).arg(i + 1).arg(each);
                    return false;
                }
                config.trustedProxies << each;
            }
        } else {
            bool matched = false;
            for (const IntSetting& s : kIntSettings) {
                if (name == QLatin1String(s.name)) {
                    matched = true;
                    if (!parseBound(value, s.low, s.high, config.*(s.field))) {
                        error = QStringLiteral("%1:%2: %3 must be %4 to %5")
                                    .arg(fileName)
                                    .arg(i + 1)
                                    .arg(line.left(eq).trimmed())
                                    .arg(s.low)
                                    .arg(s.high);
                        return false;
                    }
                }
            }
            if (matched)
                continue;
            error = QStringLiteral("%1:%2: unknown name \"%3\"").arg(fileName).arg(i + 1).arg(line.left(eq).trimmed());
            return false;
        }
    }
    if (!validCoordinate(config.localLongitude, 180) || !validCoordinate(config.localLatitude, 90)) {
        error = QStringLiteral("%1: LocalLongitude/LocalLatitude out of range").arg(fileName);
        return false;
    }
    return true;
}

QList<PoolEntry> ParsePool(const QByteArray& text, QStringList& warnings)
{
    QList<PoolEntry> pool;
    QByteArray normalised = text;
    normalised.replace("\r\n", "\n").replace('\r', '\n');
    const QList<QByteArray> lines = normalised.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList f = line.split(QLatin1Char('|'));
        if (f.size() != 6) {
            warnings
                << QStringLiteral("line %1: expected 6 fields separated by '|', found %2").arg(i + 1).arg(f.size());
            continue;
        }
        PoolEntry e{f[0].trimmed(), f[1].trimmed(), f[2].trimmed(), f[3].trimmed(), f[4].trimmed(), f[5].trimmed()};
        if (!validProxy(e.proxy)) {
            warnings << QStringLiteral("line %1: \"%2\" is not host:port").arg(i + 1).arg(e.proxy);
            continue;
        }
        if (e.country.isEmpty()) {
            warnings << QStringLiteral("line %1: no country").arg(i + 1);
            continue;
        }
        if (!validCoordinate(e.longitude, 180) || !validCoordinate(e.latitude, 90)) {
            warnings << QStringLiteral("line %1: longitude/latitude out of range").arg(i + 1);
            continue;
        }
        pool.append(e);
    }
    return pool;
}

bool LoadPoolFile(const QString& fileName, QList<PoolEntry>& pool, QStringList& warnings)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    pool = ParsePool(f.readAll(), warnings);
    return true;
}
