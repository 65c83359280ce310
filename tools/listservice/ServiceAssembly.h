#pragma once

#include "ServiceConfig.h"
#include "ServiceOptions.h"

#include <QFile>
#include <QSslConfiguration>

#include <memory>

class FlagStore;
class GeoIpDatabase;
class HttpServer;
class ListService;
class ProxyGatherer;
class SignalQuitter;

// Builds the list service a process runs from its command line and configuration file, and holds the parts
// while it runs: the configuration with the command line's overrides, flags, request log, location database,
// the service, its gatherer and the server. Problems are written to stderr as they are met.
class ServiceAssembly
{
public:
    explicit ServiceAssembly(ServiceOptions options);
    ~ServiceAssembly();
    ServiceAssembly(const ServiceAssembly&) = delete;
    ServiceAssembly& operator=(const ServiceAssembly&) = delete;

    /// Builds the service and starts listening; 0 when it serves, else the exit code for the process.
    int start();

private:
    bool loadTls();
    // The configuration file with the command line's overrides, the pool taking part as a source when gathering.
    bool configure();
    bool openRequestLog();
    bool openGeoIp();
    void buildService();
    // 0 when both ports listen (and the TLS one passed its self-test), else the exit code.
    int listen();
    // Prints the ports for callers that start the service on port 0, then starts gathering.
    void announce();

    const ServiceOptions m_options;
    ServiceConfig m_config;
    QSslConfiguration m_tls;
    std::unique_ptr<FlagStore> m_flags;
    QFile m_requestLog; // the paths of answered requests, when asked for
    std::unique_ptr<GeoIpDatabase> m_geo;
    std::unique_ptr<ListService> m_service;
    std::unique_ptr<ProxyGatherer> m_gatherer;
    std::unique_ptr<HttpServer> m_server;
    std::unique_ptr<SignalQuitter> m_quitter;
};
