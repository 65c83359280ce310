// veilport-listservice: the list service Veilport talks to, small enough to run on a laptop or a
// server. See listservice.conf.example and pool.example for the file formats.
#include "ServiceAssembly.h"
#include "ServiceOptions.h"
#include "platform/OpenFileLimit.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veilport-listservice"));
    platform::RaiseOpenFileLimit(); // the checks and the clients hold a socket each, thousands at once
    ServiceOptions options;
    QString error;
    if (!ParseServiceOptions(QCoreApplication::arguments(), options, error)) {
        std::fprintf(stderr, "veilport-listservice: %s\n", qPrintable(error));
        return 2;
    }
    // The tester traces every proxy it tries; for a service checking thousands that is noise unless asked for.
    if (!options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));
    ServiceAssembly service(std::move(options));
    if (const int failure = service.start(); failure != 0)
        return failure;
    return app.exec();
}
