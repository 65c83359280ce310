#include "ServiceOptions.h"

#include "HttpServer.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

void declareOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Serves Veilport's proxy list, flags, map and pages over HTTP (and HTTPS)."));
    parser.addHelpOption();
    const QString file = QStringLiteral("file");
    const QString port = QStringLiteral("port");
    parser.addOptions({
        {port, QStringLiteral("TCP port (0 picks a free one)."), port, QStringLiteral("18787")},
        {QStringLiteral("listen"), QStringLiteral("Address to listen on."), QStringLiteral("address"),
         QStringLiteral("127.0.0.1")},
        {QStringLiteral("pool"), QStringLiteral("Pool file of proxies."), file},
        {QStringLiteral("config"), QStringLiteral("Service configuration file."), file},
        {QStringLiteral("flags"), QStringLiteral("Folder of <code>.png flags."), QStringLiteral("folder"),
         QStringLiteral("/usr/share/flags/countries/16x11")},
        {QStringLiteral("iso-codes"), QStringLiteral("iso-codes country table (JSON)."), file,
         QStringLiteral("/usr/share/iso-codes/json/iso_3166-1.json")},
        {QStringLiteral("verbose"), QStringLiteral("Log every request to stderr.")},
        {QStringLiteral("request-log"), QStringLiteral("Append the path of every answered request to this file."),
         file},
        {QStringLiteral("tls-port"),
         QStringLiteral("Also serve everything over TLS on this port (0 picks a free one); needs --cert and --key."),
         port},
        {QStringLiteral("cert"),
         QStringLiteral(
             "PEM certificate (chain) for --tls-port; relative: in $CREDENTIALS_DIRECTORY when that is set."),
         file},
        {QStringLiteral("key"),
         QStringLiteral("PEM private key for --tls-port; relative: in $CREDENTIALS_DIRECTORY when that is set."), file},
        {QStringLiteral("max-per-address"),
         QStringLiteral("Connections one client address may hold at a time (default %1).")
             .arg(HttpServer::kDefaultMaxPerAddress),
         QStringLiteral("count"), QString::number(HttpServer::kDefaultMaxPerAddress)},
        {QStringLiteral("database"),
         QStringLiteral("SQLite file of the gathered proxies and their checks (overrides Database= of --config)."),
         file},
        {QStringLiteral("geoip"),
         QStringLiteral("MaxMind-format country or city database placing callers and proxies (overrides GeoIp=)."),
         file},
    });
}

// A port option: 0..65535, 0 picks a free one.
bool parsePort(const QString& text, int& port)
{
    bool ok = false;
    port = text.toInt(&ok);
    return ok && port >= 0 && port <= 65535;
}

// Under systemd a key handed over with LoadCredential= lies in $CREDENTIALS_DIRECTORY, readable by the
// service's dynamic user only; a relative --cert or --key names such a credential.
QString credentialPath(const QString& path)
{
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (credentials.isEmpty() || QFileInfo(path).isAbsolute())
        return path;
    return QDir(credentials).filePath(path);
}

std::optional<QString> valueIfSet(const QCommandLineParser& parser, const QString& name)
{
    return parser.isSet(name) ? std::optional<QString>(parser.value(name)) : std::nullopt;
}

bool readPorts(const QCommandLineParser& parser, ServiceOptions& options, QString& error)
{
    if (!parsePort(parser.value(QStringLiteral("port")), options.port)) {
        error = QStringLiteral("bad --port %1").arg(parser.value(QStringLiteral("port")));
        return false;
    }
    options.tls = parser.isSet(QStringLiteral("tls-port"));
    if (options.tls && !parsePort(parser.value(QStringLiteral("tls-port")), options.tlsPort)) {
        error = QStringLiteral("bad --tls-port %1").arg(parser.value(QStringLiteral("tls-port")));
        return false;
    }
    if (options.tls != parser.isSet(QStringLiteral("cert")) || options.tls != parser.isSet(QStringLiteral("key"))) {
        error = QStringLiteral("--tls-port, --cert and --key go together");
        return false;
    }
    if (options.tls) {
        options.certFile = credentialPath(parser.value(QStringLiteral("cert")));
        options.keyFile = credentialPath(parser.value(QStringLiteral("key")));
    }
    return true;
}

bool readConnections(const QCommandLineParser& parser, ServiceOptions& options, QString& error)
{
    const QString perAddress = parser.value(QStringLiteral("max-per-address"));
    bool ok = false;
    options.maxPerAddress = perAddress.toInt(&ok);
    if (!ok || options.maxPerAddress < 1 || options.maxPerAddress > HttpServer::kMaxConnections) {
        error = QStringLiteral("bad --max-per-address %1 (1 to %2)").arg(perAddress).arg(HttpServer::kMaxConnections);
        return false;
    }
    options.listen = QHostAddress(parser.value(QStringLiteral("listen")));
    if (options.listen.isNull()) {
        error = QStringLiteral("bad --listen %1").arg(parser.value(QStringLiteral("listen")));
        return false;
    }
    return true;
}

} // namespace

bool ParseServiceOptions(const QStringList& arguments, ServiceOptions& options, QString& error)
{
    QCommandLineParser parser;
    declareOptions(parser);
    parser.process(arguments);
    if (!readPorts(parser, options, error) || !readConnections(parser, options, error))
        return false;
    options.poolFile = parser.value(QStringLiteral("pool"));
    options.flagsFolder = parser.value(QStringLiteral("flags"));
    options.isoCodesFile = parser.value(QStringLiteral("iso-codes"));
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    options.configFile = valueIfSet(parser, QStringLiteral("config"));
    options.requestLogFile = valueIfSet(parser, QStringLiteral("request-log"));
    options.database = valueIfSet(parser, QStringLiteral("database"));
    options.geoIp = valueIfSet(parser, QStringLiteral("geoip"));
    return true;
}
