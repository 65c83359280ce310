#include "ServiceAssembly.h"

#include "FlagStore.h"
#include "GeoIpDatabase.h"
#include "HttpServer.h"
#include "ListService.h"
#include "ProxyGatherer.h"
#include "SignalQuitter.h"
#include "TlsCredentials.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>

#include <cstdio>

namespace {

void complain(const QString& text)
{
    std::fprintf(stderr, "veilport-listservice: %s\n", qPrintable(text));
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
        complain(QStringLiteral("proxies are checked against %1, a loopback address: only proxies on this machine "
                                "can reach it. Set PublicAddress to an address the proxies reach.")
                     .arg(target.testUrl));
    return target;
}

} // namespace

ServiceAssembly::ServiceAssembly(ServiceOptions options) : m_options(std::move(options)) {}

ServiceAssembly::~ServiceAssembly() = default;

int ServiceAssembly::start()
{
    if (!loadTls() || !configure())
        return 2;
    m_flags = std::make_unique<FlagStore>(m_options.flagsFolder, m_options.isoCodesFile);
    if (m_flags->knownNames() == 0)
        complain(
            QStringLiteral("no country names from %1; flags use codes and aliases only").arg(m_options.isoCodesFile));
    if (!openRequestLog() || !openGeoIp())
        return 2;
    buildService();
    if (const int failure = listen(); failure != 0)
        return failure;
    announce();
    return 0;
}

bool ServiceAssembly::loadTls()
{
    QString error;
    if (m_options.tls && !LoadTlsCredentials(m_options.certFile, m_options.keyFile, m_tls, error)) {
        complain(error);
        return false;
    }
    return true;
}

bool ServiceAssembly::configure()
{
    QString error;
    if (m_options.configFile && !LoadServiceConfig(*m_options.configFile, m_config, error)) {
        complain(error);
        return false;
    }
    const QString& poolFile = m_options.poolFile;
    if (!poolFile.isEmpty() && !QFileInfo(poolFile).isReadable()) {
        complain(QStringLiteral("cannot read pool %1").arg(poolFile));
        return false;
    }
    if (m_options.database)
        m_config.database = *m_options.database;
    if (m_options.geoIp)
        m_config.geoIp = *m_options.geoIp;
    const bool gathering = m_config.gathering();
    if (gathering && !poolFile.isEmpty()) {
        // The hand-written pool is one more source, its proxies checked like any other's; being the
        // operator's own, it may name private addresses and its own flags.
        bool named = false;
        for (const SourceSetting& s : std::as_const(m_config.sources))
            named = named || s.name == QLatin1String("pool");
        if (!named)
            m_config.sources.append(
                SourceSetting{QStringLiteral("pool"), poolFile, SourceFormat::Pool, 30, 16 * 1024 * 1024, true});
    }
    if (poolFile.isEmpty() && !gathering)
        complain(QStringLiteral("no --pool given, the list is empty"));
    return true;
}

bool ServiceAssembly::openRequestLog()
{
    // Lets a caller tell afterwards which paths were asked for (a cache that works asks for nothing).
    if (!m_options.requestLogFile)
        return true;
    m_requestLog.setFileName(*m_options.requestLogFile);
    if (!m_requestLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        complain(QStringLiteral("cannot write request log %1").arg(m_requestLog.fileName()));
        return false;
    }
    return true;
}

bool ServiceAssembly::openGeoIp()
{
    m_geo = std::make_unique<GeoIpDatabase>();
    QString error;
    if (!m_config.geoIp.isEmpty() && !m_geo->open(m_config.geoIp, error)) {
        complain(error);
        return false;
    }
    return true;
}

void ServiceAssembly::buildService()
{
    const bool gathering = m_config.gathering();
    m_service = std::make_unique<ListService>(m_config, gathering ? QString() : m_options.poolFile, m_flags.get());
    if (m_geo->isOpen())
        m_service->setGeoIp(m_geo.get());
    if (gathering) {
        m_gatherer = std::make_unique<ProxyGatherer>(m_config, &m_service->metrics());
        QString error;
        if (!m_gatherer->openDatabase(error))
            complain(QStringLiteral("%1; serving from memory").arg(error));
        else if (m_config.database.isEmpty())
            complain(QStringLiteral("no Database given; checks are kept in memory only"));
        if (m_geo->isOpen())
            m_gatherer->setGeoIp(m_geo.get());
        m_service->setGatherer(m_gatherer.get());
    }
    m_server = std::make_unique<HttpServer>([this](const HttpRequest& r) {
        if (m_requestLog.isOpen()) {
            // One line per request; a decoded line break in the path must not start a line of its own.
            m_requestLog.write(r.method + ' ' + HttpServer::loggablePath(r.path) + '\n');
        }
        return m_service->handle(r);
    });
    m_server->setVerbose(m_options.verbose);
    m_server->setMaxPerAddress(m_options.maxPerAddress);
}

int ServiceAssembly::listen()
{
    const QHostAddress& address = m_options.listen;
    if (!m_server->listen(address, static_cast<quint16>(m_options.port))) {
        complain(QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(address.toString(), QString::number(m_options.port), m_server->errorString()));
        return 1;
    }
    if (!m_options.tls)
        return 0;
    if (!m_server->listenTls(address, static_cast<quint16>(m_options.tlsPort), m_tls)) {
        complain(QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(address.toString(), QString::number(m_options.tlsPort), m_server->errorString()));
        return 1;
    }
    // A key of another certificate is accepted by every check above and fails every client later.
    QString error;
    if (!SelfTestTls(address, m_server->tlsPort(), error)) {
        complain(error);
        return 2;
    }
    // The test's own connection must be gone before anyone is told to connect: it counts
    // against the loopback address like any client's.
    const QDeadlineTimer deadline(5000);
    while (m_server->connectionCount() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return 0;
}

void ServiceAssembly::announce()
{
    m_quitter = std::make_unique<SignalQuitter>();
    if (!m_quitter->isActive())
        complain(QStringLiteral("cannot catch SIGTERM and SIGINT; they end the service at once"));
    const QString shown = shownAddress(m_options.listen);
    // Callers that start the service on port 0 read the real ports from these lines.
    std::printf("veilport-listservice listening on http://%s:%u/\n", qPrintable(shown), m_server->serverPort());
    if (m_options.tls)
        std::printf("veilport-listservice listening on https://%s:%u/\n", qPrintable(shown), m_server->tlsPort());
    std::fflush(stdout);
    if (m_gatherer)
        m_gatherer->start(
            checkTarget(m_config, m_options.listen, m_server->serverPort(), m_options.tls ? m_server->tlsPort() : 0));
}
