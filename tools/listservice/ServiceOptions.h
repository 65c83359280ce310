#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// The list service's command line, checked.
struct ServiceOptions
{
    QHostAddress listen;
    int port = 0; // 0: a free one
    // Serving over TLS as well; the certificate and key paths have $CREDENTIALS_DIRECTORY applied.
    bool tls = false;
    int tlsPort = 0;
    QString certFile;
    QString keyFile;
    int maxPerAddress = 0;
    QString poolFile; // empty: none
    QString flagsFolder;
    QString isoCodesFile;
    bool verbose = false;
    // Given on the command line (possibly empty), else unset.
    std::optional<QString> configFile;
    std::optional<QString> requestLogFile;
    std::optional<QString> database; // overrides Database= of the configuration
    std::optional<QString> geoIp;    // overrides GeoIp=
};

/// Parses the service's arguments (arguments[0] being the program). --help, and unknown or incomplete options,
/// end the process with the usage text or the parser's message; false with error text when a value is bad.
bool ParseServiceOptions(const QStringList& arguments, ServiceOptions& options, QString& error);
