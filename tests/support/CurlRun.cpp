#include "support/CurlRun.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

namespace testsupport {

CurlRun curl(const QStringList& args, int maxSeconds)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral("curl"), QStringList{QStringLiteral("-sS"), QStringLiteral("-i"),
                                                      QStringLiteral("--max-time"), QString::number(maxSeconds)} +
                                              args);
    CurlRun run;
    if (!process.waitForFinished(2 * maxSeconds * 1000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.elapsedMs = clock.elapsed();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

std::string describe(const CurlRun& run)
{
    return "exit " + std::to_string(run.exitCode) + "\n" + run.out.left(2000).toStdString() + "\n" +
           run.err.toStdString();
}

} // namespace testsupport
