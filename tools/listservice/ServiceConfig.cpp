#include "ServiceConfig.h"

#include <QFile>

namespace {

bool validCoordinate(const QString& text, double limit)
{
    if (text.isEmpty())
        return true; // left empty, the map shows no marker
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok && v >= -limit && v <= limit;
}

bool validProxy(const QString& proxy)
{
    const int colon = proxy.lastIndexOf(':');
    if (colon <= 0)
        return false;
    bool ok = false;
    const int port = proxy.mid(colon + 1).toInt(&ok);
    return ok && port >= 1 && port <= 65535 && !proxy.left(colon).contains(QLatin1Char(' '));
}

} // namespace

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
        else {
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
