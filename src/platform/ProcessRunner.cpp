#include "platform/ProcessRunner.h"

#include <QProcess>

namespace platform {

namespace {
// Time given to a program asked to end before it is killed.
constexpr int kGraceMs = 1000;
} // namespace

bool LocalProcessRunner::startDetached(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

ProcessRunner::WaitResult LocalProcessRunner::runAndWait(const QString& program, const QStringList& args, int timeoutMs)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    // Output nobody reads must not fill a pipe and stall the child.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(timeoutMs < 0 ? -1 : qMax(timeoutMs, 1)))
        return WaitResult::FailedToStart;
    if (process.waitForFinished(timeoutMs))
        return WaitResult::Finished;
    process.terminate();
    if (!process.waitForFinished(kGraceMs)) {
        process.kill();
        process.waitForFinished(kGraceMs);
    }
    return WaitResult::TimedOut;
}

} // namespace platform
