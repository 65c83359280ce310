#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One proxy the service hands out, as read from the pool file.
struct PoolEntry
{
    QString proxy; // host:port, or socks5://host:port
    QString info;
    QString country;
    QString flagUrl; // empty: the service's own large flag of the country
    QString longitude;
    QString latitude;
};

// How a source's text is laid out.
enum class SourceFormat
{
    Plain,    // host:port lines (socks5://host:port for a SOCKS5 proxy)
    Socks5,   // host:port lines of SOCKS5 proxies
    Veilport, // the program's own list (Proxy_<n>=host:port|info|country|flag|longitude|latitude)
    Csv,      // a header line naming the host (or ip) and port columns
    Json,     // an array of objects with host (or ip) and port
    Pool      // the hand-written pool file, with countries and coordinates
};

// One place the service gathers proxies from: an http(s) URL or a local file.
struct SourceSetting
{
    QString name;     // shown in logs, the database and metrics; unique
    QString location; // http://, https:// or a file path
    SourceFormat format = SourceFormat::Plain;
    int refreshSec = 3600;
    qint64 maxBytes = 4 * 1024 * 1024;
    // The operator's own pool: its addresses are served as written, loopback and private ones too.
    bool trusted = false;
};

// What the service answers besides the pool: the caller's location and the update answer.
struct ServiceConfig
{
    QString localCountry = QStringLiteral("United States");
    QString localLongitude = QStringLiteral("-77.0369");
    QString localLatitude = QStringLiteral("38.9072");
    QString publicHost; // host:port put into flag URLs; empty: the Host header of each request
    QString magicWord = QStringLiteral("veilport-update-v1");
    QString updateResult = QStringLiteral("0");
    QString updateInfo;
    QString updatePage;
    QString infoText = QStringLiteral("Veilport list service");

    // Gathering and checking proxies; all of it stays off while no source is named and Check is off.
    QList<SourceSetting> sources;
    bool check = false;
    QString database;         // SQLite file; empty: kept in memory only
    QString publicAddress;    // host:port under which proxies reach this service over plain HTTP
    QString publicTlsAddress; // host:port of the TLS port for the tunnel test; empty: the TLS port if any
    QString checkerAddress;   // the address proxies see the checks come from; empty: the public address's host
    int checkIntervalSec = 600;
    int checkConcurrency = 64;
    int checkTimeoutSec = 15;
    int maxFailures = 6; // failed checks in a row before a proxy is dropped
    int listSize = 20;   // proxies per country in one list answer
    int maxProxies = 100000;
    int historyDays = 7;
    QString defaultCountry = QStringLiteral("Unknown"); // for proxies whose source names no country
    QStringList trustedProxies;                         // addresses or subnets whose X-Forwarded-For is believed
    QString geoIp; // MaxMind-format country/city database; empty: the configured places hold
    // Whether sources may name loopback, private and other non-global addresses (and names resolving to
    // them). Off, such entries are refused: else any list could point the checker at this host's network.
    bool allowPrivateAddresses = false;

    bool gathering() const { return check || !sources.isEmpty(); }
};

/// Parses "NAME|FORMAT|LOCATION[|REFRESH_SECONDS[|MAX_BYTES]]"; false with error text when malformed.
bool ParseSourceLine(const QString& text, SourceSetting& setting, QString& error);
/// "plain", "socks5", "veilport", "csv", "json" or "pool".
QString SourceFormatName(SourceFormat format);

/// Reads a config file of Name=Value lines; false with error text on unreadable files or unknown names.
bool LoadServiceConfig(const QString& fileName, ServiceConfig& config, QString& error);

/// Parses pool text: one "host:port|info|country|flag URL|longitude|latitude" a line ("socks5://host:port" for a
/// SOCKS5 proxy), '#' starts a comment.
/// Bad lines are skipped and described in warnings (with their line numbers).
QList<PoolEntry> ParsePool(const QByteArray& text, QStringList& warnings);

/// Reads and parses a pool file; false when it cannot be read.
bool LoadPoolFile(const QString& fileName, QList<PoolEntry>& pool, QStringList& warnings);
