#include "app/CompanionHost.h"

#include <QFileInfo>
#include <QStringList>

#include <csignal>

int main(int argc, char** argv)
{
    // A browser that closes the pipe mid-write must end the host, not kill it with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // The constants are beside the real executable, wherever a manifest or link points from.
    const QString folder = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return CompanionHost::run(args, QFileInfo(folder).absolutePath());
}
