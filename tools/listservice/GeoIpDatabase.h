#pragma once

#include <QString>

#include <memory>

struct MMDB_s;

// Where an address is, as far as a country/city database knows.
struct GeoPlace
{
    QString country;  // English name, as lists and flags spell it
    QString isoCode;  // two letters
    QString latitude; // empty when the database has countries only
    QString longitude;
};

// A MaxMind-format database (GeoLite2 or DB-IP lite, Country or City) read with libmaxminddb. The
// file is mapped once; lookups are cheap and never touch the disk again.
class GeoIpDatabase
{
public:
    GeoIpDatabase();
    ~GeoIpDatabase();
    GeoIpDatabase(const GeoIpDatabase&) = delete;
    GeoIpDatabase& operator=(const GeoIpDatabase&) = delete;

    /// Opens the file; false with error text when it is missing or not a MaxMind database.
    bool open(const QString& file, QString& error);
    bool isOpen() const { return m_db != nullptr; }
    /// The place of an address; false when the address is not valid or the database does not know it.
    bool lookup(const QString& address, GeoPlace& place) const;

private:
    std::unique_ptr<MMDB_s> m_db;
};
