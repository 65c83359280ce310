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

// A setting the file names (lower-cased) and the field it sets.
template <typename Value> struct FieldSetting
{
    const char* name;
    Value ServiceConfig::*field;
};

// Settings taken as written.
const FieldSetting<QString> kTextSettings[] = {
    {"localcountry", &ServiceConfig::localCountry},
    {"locallongitude", &ServiceConfig::localLongitude},
    {"locallatitude", &ServiceConfig::localLatitude},
    {"publichost", &ServiceConfig::publicHost},
    {"magicword", &ServiceConfig::magicWord},
    {"result", &ServiceConfig::updateResult},
    {"info", &ServiceConfig::updateInfo},
    {"page", &ServiceConfig::updatePage},
    {"infotext", &ServiceConfig::infoText},
    {"database", &ServiceConfig::database},
    {"publicaddress", &ServiceConfig::publicAddress},
    {"publictlsaddress", &ServiceConfig::publicTlsAddress},
    {"geoip", &ServiceConfig::geoIp},
    {"checkeraddress", &ServiceConfig::checkerAddress},
};

// On/off settings.
const FieldSetting<bool> kSwitchSettings[] = {
    {"check", &ServiceConfig::check},
    {"allowprivateaddresses", &ServiceConfig::allowPrivateAddresses},
};

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

// Finds name's entry in one of the tables above; null when it has none.
template <typename Setting, size_t N> const Setting* findSetting(const Setting (&table)[N], const QString& name)
{
    for (const Setting& setting : table) {
        if (name == QLatin1String(setting.name))
            return &setting;
    }
    return nullptr;
}

bool readSource(const QString& value, ServiceConfig& config, QString& why)
{
    SourceSetting setting;
    if (!ParseSourceLine(value, setting, why))
        return false;
    for (const SourceSetting& other : std::as_const(config.sources)) {
        if (other.name == setting.name) {
            why = QStringLiteral("source %1 named twice").arg(setting.name);
            return false;
        }
    }
    config.sources.append(setting);
    return true;
}

bool readTrustedProxies(const QString& value, ServiceConfig& config, QString& why)
{
    config.trustedProxies.clear();
    for (const QString& each : value.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        const bool subnet = each.contains(QLatin1Char('/'));
        if ((subnet && QHostAddress::parseSubnet(each).first.isNull()) || (!subnet && QHostAddress(each).isNull())) {
            why = QStringLiteral("\"%1\" is not an address or subnet").arg(each);
            return false;
        }
        config.trustedProxies << each;
    }
    return true;
}

// Sets one Name=Value setting (the name as written); false with why when the name is unknown or the value bad.
bool readSetting(const QString& written, const QString& value, ServiceConfig& config, QString& why)
{
    const QString name = written.toLower();
    if (const auto* s = findSetting(kTextSettings, name)) {
        config.*(s->field) = value;
        return true;
    }
    if (const auto* s = findSetting(kSwitchSettings, name)) {
        if (parseSwitch(value, config.*(s->field)))
            return true;
        why = QStringLiteral("%1 is on or off").arg(written);
        return false;
    }
    if (const auto* s = findSetting(kIntSettings, name)) {
        if (parseBound(value, s->low, s->high, config.*(s->field)))
            return true;
        why = QStringLiteral("%1 must be %2 to %3").arg(written).arg(s->low).arg(s->high);
        return false;
    }
    if (name == QLatin1String("defaultcountry")) {
        if (!value.isEmpty())
            config.defaultCountry = value;
        return true;
    }
    if (name == QLatin1String("source"))
        return readSource(value, config, why);
    if (name == QLatin1String("trustedproxies"))
        return readTrustedProxies(value, config, why);
    why = QStringLiteral("unknown name \"%1\"").arg(written);
    return false;
}

// Reads one Name=Value line; false with why when it is not one or its setting cannot be taken.
bool readLine(const QString& line, ServiceConfig& config, QString& why)
{
    const int eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) {
        why = QStringLiteral("expected Name=Value");
        return false;
    }
    return readSetting(line.left(eq).trimmed(), line.mid(eq + 1).trimmed(), config, why);
}

// Lines without a setting: blank ones, comments and [section] headers.
bool isSettingLine(const QString& line)
{
    return !line.isEmpty() && !line.startsWith(QLatin1Char('#')) && !line.startsWith(QLatin1Char(';')) &&
           !line.startsWith(QLatin1Char('['));
}

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
        if (!isSettingLine(line))
            continue;
        QString why;
        if (!readLine(line, config, why)) {
            error = QStringLiteral("%1:%2: %3").arg(fileName, QString::number(i + 1), why);
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
