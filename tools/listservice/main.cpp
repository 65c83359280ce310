// veilport-listservice: the list service Veilport talks to, small enough to run on a laptop or a
// server. See listservice.conf.example and pool.example for the file formats.
#include "FlagStore.h"
#include "HttpServer.h"
#include "ListService.h"
#include "ServiceConfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>

namespace {

void quitOnSignal(int)
{
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veilport-listservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves Veilport's proxy list, flags, map and pages over HTTP."));
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
    parser.addOptions({portOpt, listenOpt, poolOpt, configOpt, flagsOpt, isoOpt, verboseOpt, requestLogOpt});
    parser.process(app);

    bool portOk = false;
    const int port = parser.value(portOpt).toInt(&portOk);
    if (!portOk || port < 0 || port > 65535) {
        std::fprintf(stderr, "veilport-listservice: bad --port %s\n", qPrintable(parser.value(portOpt)));
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
    if (poolFile.isEmpty())
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

    ListService service(config, poolFile, &flags);
    HttpServer server([&service, &requestLog](const HttpRequest& r) {
        if (requestLog.isOpen()) {
            // One line per request; a decoded line break in the path must not start a line of its own.
            QByteArray path = r.path.toUtf8();
            path.replace('\n', "%0A").replace('\r', "%0D");
            requestLog.write(r.method + ' ' + path + '\n');
        }
        return service.handle(r);
    });
    server.setVerbose(parser.isSet(verboseOpt));
    if (!server.listen(address, static_cast<quint16>(port))) {
        std::fprintf(stderr, "veilport-listservice: cannot listen on %s:%d: %s\n", qPrintable(address.toString()), port,
                     qPrintable(server.errorString()));
        return 1;
    }
    std::signal(SIGTERM, quitOnSignal);
    std::signal(SIGINT, quitOnSignal);
    // Callers that start the service on port 0 read the real port from this line.
    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol
                              ? QStringLiteral("[%1]").arg(address.toString())
                              : address.toString();
    std::printf("veilport-listservice listening on http://%s:%u/\n", qPrintable(shown), server.serverPort());
    std::fflush(stdout);
    return app.exec();
}
