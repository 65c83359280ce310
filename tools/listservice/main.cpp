// veilport-listservice: the list service Veilport talks to, small enough to run on a laptop or a
// server. See listservice.conf.example and pool.example for the file formats.
#include "FlagStore.h"
#include "GeoIpDatabase.h"
#include "HttpServer.h"
#include "ListService.h"
#include "ProxyGatherer.h"
#include "ServiceConfig.h"
#include "SignalQuitter.h"
#include "TlsCredentials.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>

namespace {

// A port option: 0..65535, 0 picks a free one.
bool parsePort(const QString& text, int& port)
{
    bool ok = false;
    port = text.toInt(&ok);
    return ok && port >= 0 && port <= 65535;
}

QString shownAddress(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                               : address.toString();
}

// The host part of host:port ("[v6]:port" too).
QString hostOf(const QString& hostPort)
{
    const int colon = int(hostPort.lastIndexOf(QLatin1Char(':')));
    QString host = colon > 0 ? hostPort.left(colon) : hostPort;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

// Where proxies reach this service: the configured public address, else the listen address itself.
ProxyGatherer::Target checkTarget(const ServiceConfig& config, const QHostAddress& listen, quint16 port,
                                  quint16 tlsPort)
{
    QHostAddress own = listen;
    if (own == QHostAddress::AnyIPv4 || own == QHostAddress::AnyIPv6 || own == QHostAddress::Any)
        own = QHostAddress::LocalHost;
    QString plain = config.publicAddress;
    if (plain.isEmpty())
        plain = shownAddress(own) + QLatin1Char(':') + QString::number(port);
    QString secure = config.publicTlsAddress;
    if (secure.isEmpty() && tlsPort != 0) {
        const QString host = hostOf(plain);
        secure = (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) +
                 QLatin1Char(':') + QString::number(tlsPort);
    }
    ProxyGatherer::Target target;
    target.testUrl = QStringLiteral("http://%1/getip.php?VER=2").arg(plain);
    target.tunnelUrl = secure.isEmpty() ? QString() : QStringLiteral("https://%1/getip.php?VER=2").arg(secure);
    target.checkerAddress = config.checkerAddress.isEmpty() ? hostOf(plain) : config.checkerAddress;
    if (QHostAddress(hostOf(plain)).isLoopback())
        std::fprintf(stderr,
                     "veilport-listservice: proxies are checked against %s, a loopback address: only proxies on "
                     "this machine can reach it. Set PublicAddress to an address the proxies reach.\n",
                     qPrintable(target.testUrl));
    return target;
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veilport-listservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves Veilport's proxy list, flags, map and pages over HTTP (and HTTPS)."));
    parser.addHelpOption();
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("TCP port (0 picks a free one)."),
                                     QStringLiteral("port"), QStringLiteral("18787"));
    const QCommandLineOption listenOpt(QStringLiteral("listen"), QStringLiteral("Address to listen on."),
                                       QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption poolOpt(QStringLiteral("pool"), QStringLiteral("Pool file of proxies."),
                                     QStringLiteral("file"));
    const QCommandLineOption configOpt(QStringLiteral("config"), QStringLiteral("Service configuration file."),
                                       QStringLiteral("file"));
    const QCommandLineOption flagsOpt(QStringLiteral("flags"), QStringLiteral("Folder of <code>.png flags."),
                                      QStringLiteral("folder"), QStringLiteral("/usr/share/flags/countries/16x11"));
    const QCommandLineOption isoOpt(QStringLiteral("iso-codes"), QStringLiteral("iso-codes country table (JSON)."),
                                    QStringLiteral("file"),
                                    QStringLiteral("/usr/share/iso-codes/json/iso_3166-1.json"));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Log every request to stderr."));
    const QCommandLineOption requestLogOpt(QStringLiteral("request-log"),
                                           QStringLiteral("Append the path of every answered request to this file."),
                                           QStringLiteral("file"));
    const QCommandLineOption tlsPortOpt(
        QStringLiteral("tls-port"),
        QStringLiteral("Also serve everything over TLS on this port (0 picks a free one); needs --cert and --key."),
        QStringLiteral("port"));
    const QCommandLineOption certOpt(
        QStringLiteral("cert"),
        QStringLiteral("PEM certificate (chain) for --tls-port; relative: in $CREDENTIALS_DIRECTORY when that is set."),
        QStringLiteral("file"));
    const QCommandLineOption keyOpt(
        QStringLiteral("key"),
        QStringLiteral("PEM private key for --tls-port; relative: in $CREDENTIALS_DIRECTORY when that is set."),
        QStringLiteral("file"));
    const QCommandLineOption perAddressOpt(
        QStringLiteral("max-per-address"),
        QStringLiteral("Connections one client address may hold at a time (default %1).")
            .arg(HttpServer::kDefaultMaxPerAddress),
        QStringLiteral("count"), QString::number(HttpServer::kDefaultMaxPerAddress));
    const QCommandLineOption databaseOpt(
        QStringLiteral("database"),
        QStringLiteral("SQLite file of the gathered proxies and their checks (overrides Database= of --config)."),
        QStringLiteral("file"));
    const QCommandLineOption geoIpOpt(
        QStringLiteral("geoip"),
        QStringLiteral("MaxMind-format country or city database placing callers and proxies (overrides GeoIp=)."),
        QStringLiteral("file"));
    parser.addOptions({portOpt, listenOpt, poolOpt, configOpt, flagsOpt, isoOpt, verboseOpt, requestLogOpt, tlsPortOpt,
                       certOpt, keyOpt, perAddressOpt, databaseOpt, geoIpOpt});
    parser.process(app);
    // The tester traces every proxy it tries; for a service checking thousands that is noise unless asked for.
    if (!parser.isSet(verboseOpt))
        QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));

    int port = 0;
    if (!parsePort(parser.value(portOpt), port)) {
        std::fprintf(stderr, "veilport-listservice: bad --port %s\n", qPrintable(parser.value(portOpt)));
        return 2;
    }
    const bool tls = parser.isSet(tlsPortOpt);
    int tlsPort = 0;
    if (tls && !parsePort(parser.value(tlsPortOpt), tlsPort)) {
        std::fprintf(stderr, "veilport-listservice: bad --tls-port %s\n", qPrintable(parser.value(tlsPortOpt)));
        return 2;
    }
    if (tls != parser.isSet(certOpt) || tls != parser.isSet(keyOpt)) {
        std::fprintf(stderr, "veilport-listservice: --tls-port, --cert and --key go together\n");
        return 2;
    }
    QSslConfiguration tlsConfiguration;
    if (tls) {
        QString error;
        if (!LoadTlsCredentials(credentialPath(parser.value(certOpt)), credentialPath(parser.value(keyOpt)),
                                tlsConfiguration, error)) {
            std::fprintf(stderr, "veilport-listservice: %s\n", qPrintable(error));
            return 2;
        }
    }
    bool perAddressOk = false;
    const int perAddress = parser.value(perAddressOpt).toInt(&perAddressOk);
    if (!perAddressOk || perAddress < 1 || perAddress > HttpServer::kMaxConnections) {
        std::fprintf(stderr, "veilport-listservice: bad --max-per-address %s (1 to %d)\n",
                     qPrintable(parser.value(perAddressOpt)), HttpServer::kMaxConnections);
        return 2;
    }
    const QHostAddress address(parser.value(listenOpt));
    if (address.isNull()) {
        std::fprintf(stderr, "veilport-listservice: bad --listen %s\n", qPrintable(parser.value(listenOpt)));
        return 2;
    }

    ServiceConfig config;
    if (parser.isSet(configOpt)) {
        QString error;
        if (!LoadServiceConfig(parser.value(configOpt), config, error)) {
            std::fprintf(stderr, "veilport-listservice: %s\n", qPrintable(error));
            return 2;
        }
    }
    const QString poolFile = parser.value(poolOpt);
    if (!poolFile.isEmpty() && !QFileInfo(poolFile).isReadable()) {
        std::fprintf(stderr, "veilport-listservice: cannot read pool %s\n", qPrintable(poolFile));
        return 2;
    }
    if (parser.isSet(databaseOpt))
        config.database = parser.value(databaseOpt);
    const bool gathering = config.gathering();
    if (gathering && !poolFile.isEmpty()) {
        // The hand-written pool is one more source, its proxies checked like any other's; being the
        // operator's own, it may name private addresses and its own flags.
        bool named = false;
        for (const SourceSetting& s : config.sources)
            named = named || s.name == QLatin1String("pool");
        if (!named)
            config.sources.append(
                SourceSetting{QStringLiteral("pool"), poolFile, SourceFormat::Pool, 30, 16 * 1024 * 1024, true});
    }
    if (poolFile.isEmpty() && !gathering)
        std::fprintf(stderr, "veilport-listservice: no --pool given, the list is empty\n");

    FlagStore flags(parser.value(flagsOpt), parser.value(isoOpt));
    if (flags.knownNames() == 0)
        std::fprintf(stderr, "veilport-listservice: no country names from %s; flags use codes and aliases only\n",
                     qPrintable(parser.value(isoOpt)));

    // Lets a caller tell afterwards which paths were asked for (a cache that works asks for nothing).
    QFile requestLog;
    if (parser.isSet(requestLogOpt)) {
        requestLog.setFileName(parser.value(requestLogOpt));
        if (!requestLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            std::fprintf(stderr, "veilport-listservice: cannot write request log %s\n",
                         qPrintable(requestLog.fileName()));
            return 2;
        }
    }

    if (parser.isSet(geoIpOpt))
        config.geoIp = parser.value(geoIpOpt);
    GeoIpDatabase geo;
    if (!config.geoIp.isEmpty()) {
        QString error;
        if (!geo.open(config.geoIp, error)) {
            std::fprintf(stderr, "veilport-listservice: %s\n", qPrintable(error));
            return 2;
        }
    }

    ListService service(config, gathering ? QString() : poolFile, &flags);
    if (geo.isOpen())
        service.setGeoIp(&geo);
    std::unique_ptr<ProxyGatherer> gatherer;
    if (gathering) {
        gatherer = std::make_unique<ProxyGatherer>(config, &service.metrics());
        QString error;
        if (!gatherer->openDatabase(error))
            std::fprintf(stderr, "veilport-listservice: %s; serving from memory\n", qPrintable(error));
        else if (config.database.isEmpty())
            std::fprintf(stderr, "veilport-listservice: no Database given; checks are kept in memory only\n");
        if (geo.isOpen())
            gatherer->setGeoIp(&geo);
        service.setGatherer(gatherer.get());
    }
    HttpServer server([&service, &requestLog](const HttpRequest& r) {
        if (requestLog.isOpen()) {
            // One line per request; a decoded line break in the path must not start a line of its own.
            requestLog.write(r.method + ' ' + HttpServer::loggablePath(r.path) + '\n');
        }
        return service.handle(r);
    });
    server.setVerbose(parser.isSet(verboseOpt));
    server.setMaxPerAddress(perAddress);
    if (!server.listen(address, static_cast<quint16>(port))) {
        std::fprintf(stderr, "veilport-listservice: cannot listen on %s:%d: %s\n", qPrintable(address.toString()), port,
                     qPrintable(server.errorString()));
        return 1;
    }
    if (tls) {
        if (!server.listenTls(address, static_cast<quint16>(tlsPort), tlsConfiguration)) {
            std::fprintf(stderr, "veilport-listservice: cannot listen on %s:%d: %s\n", qPrintable(address.toString()),
                         tlsPort, qPrintable(server.errorString()));
            return 1;
        }
        // A key of another certificate is accepted by every check above and fails every client later.
        QString error;
        if (!SelfTestTls(address, server.tlsPort(), error)) {
            std::fprintf(stderr, "veilport-listservice: %s\n", qPrintable(error));
            return 2;
        }
        // The test's own connection must be gone before anyone is told to connect: it counts
        // against the loopback address like any client's.
        const QDeadlineTimer deadline(5000);
        while (server.connectionCount() > 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const SignalQuitter quitter;
    if (!quitter.isActive())
        std::fprintf(stderr, "veilport-listservice: cannot catch SIGTERM and SIGINT; they end the service at once\n");
    // Callers that start the service on port 0 read the real ports from these lines.
    std::printf("veilport-listservice listening on http://%s:%u/\n", qPrintable(shownAddress(address)),
                server.serverPort());
    if (tls)
        std::printf("veilport-listservice listening on https://%s:%u/\n", qPrintable(shownAddress(address)),
                    server.tlsPort());
    std::fflush(stdout);
    if (gatherer)
        gatherer->start(checkTarget(config, address, server.serverPort(), tls ? server.tlsPort() : 0));
    return app.exec();
}
