// Starts Veilport's tor (without network access) in the data folder given as the only argument, prints
// "tor-pid <pid>" once tor's control port is in use, and runs until it is killed: the test kills it the
// way a crash would end Veilport.
#include "tor/TorController.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    TorOptions options;
    options.dataFolder = QString::fromLocal8Bit(argv[1]);
    options.extraConfig = {QStringLiteral("DisableNetwork 1")};
    TorController tor(options);
    QObject::connect(&tor, &TorController::controlReady, &tor, [&] {
        std::printf("tor-pid %lld\n", static_cast<long long>(tor.processId()));
        std::fflush(stdout);
    });
    QObject::connect(&tor, &TorController::failed, &tor, [](const QString& message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        QCoreApplication::exit(1);
    });
    tor.start();
    return app.exec();
}
