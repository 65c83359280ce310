#include "GeoIpDatabase.h"

#include <maxminddb.h>

namespace {

QString stringAt(MMDB_entry_s& entry, const char* const* path)
{
    MMDB_entry_data_s data;
    if (MMDB_aget_value(&entry, &data, path) != MMDB_SUCCESS || !data.has_data ||
        data.type != MMDB_DATA_TYPE_UTF8_STRING)
        return QString();
    // The field is not terminated; its length is bounded by the mapped file. Kept short: it ends up in list lines.
    QString text = QString::fromUtf8(data.utf8_string, int(std::min<uint32_t>(data.data_size, 200)));
    text.replace(QLatin1Char('|'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

QString coordinateAt(MMDB_entry_s& entry, const char* const* path, double limit)
{
    MMDB_entry_data_s data;
    if (MMDB_aget_value(&entry, &data, path) != MMDB_SUCCESS || !data.has_data)
        return QString();
    double value = 0;
    if (data.type == MMDB_DATA_TYPE_DOUBLE)
        value = data.double_value;
    else if (data.type == MMDB_DATA_TYPE_FLOAT)
        value = data.float_value;
    else
        return QString();
    if (!(value >= -limit && value <= limit))
        return QString();
    return QString::number(value, 'f', 4);
}

} // namespace

GeoIpDatabase::GeoIpDatabase() = default;

GeoIpDatabase::~GeoIpDatabase()
{
    if (m_db)
        MMDB_close(m_db.get());
}

bool GeoIpDatabase::open(const QString& file, QString& error)
{
    auto db = std::make_unique<MMDB_s>();
    const int status = MMDB_open(file.toLocal8Bit().constData(), MMDB_MODE_MMAP, db.get());
    if (status != MMDB_SUCCESS) {
        error =
            QStringLiteral("cannot read the GeoIP database %1: %2").arg(file, QString::fromUtf8(MMDB_strerror(status)));
        return false;
    }
    if (m_db)
        MMDB_close(m_db.get());
    m_db = std::move(db);
    return true;
}

bool GeoIpDatabase::lookup(const QString& address, GeoPlace& place) const
{
    if (!m_db)
        return false;
    int gaiError = 0;
    int mmdbError = 0;
    MMDB_lookup_result_s result = MMDB_lookup_string(m_db.get(), address.toLatin1().constData(), &gaiError, &mmdbError);
    if (gaiError != 0 || mmdbError != MMDB_SUCCESS || !result.found_entry)
        return false;
    static const char* const countryName[] = {"country", "names", "en", nullptr};
    static const char* const countryCode[] = {"country", "iso_code", nullptr};
    static const char* const latitude[] = {"location", "latitude", nullptr};
    static const char* const longitude[] = {"location", "longitude", nullptr};
    place.country = stringAt(result.entry, countryName);
    place.isoCode = stringAt(result.entry, countryCode);
    place.latitude = coordinateAt(result.entry, latitude, 90);
    place.longitude = coordinateAt(result.entry, longitude, 180);
    return !place.country.isEmpty();
}
