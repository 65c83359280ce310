#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Starts other programs with an argument vector (never through a shell), so that no character
// of an argument can become a separate argument or a shell command.
class ProcessRunner
{
public:
    enum class WaitResult
    {
        FailedToStart,
        Finished,
        TimedOut
    };

    virtual ~ProcessRunner() = default;

    // Starts the program and leaves it running; whether it started.
    virtual bool startDetached(const QString& program, const QStringList& args) = 0;
    // Starts the program and waits for its end, at most timeoutMs; a program still running then
    // is ended (asked first, then killed) so the caller never waits longer than the bound.
    virtual WaitResult runAndWait(const QString& program, const QStringList& args, int timeoutMs) = 0;
};

// The real thing, with QProcess.
class LocalProcessRunner : public ProcessRunner
{
public:
    bool startDetached(const QString& program, const QStringList& args) override;
    WaitResult runAndWait(const QString& program, const QStringList& args, int timeoutMs) override;
};

} // namespace platform
