#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Starts other programs with an argument vector (never through a shell), so that no character
// of an argument can become a separate argument or a shell command.
class ProcessRunner
{
public:
    virtual ~ProcessRunner() = default;

    // Starts program with args and leaves it running on its own: it is not a child of this process,
    // so it outlives it and is never left behind as a zombie. A name without "/" is looked up on PATH.
    // Whether it started; when not, error (if given) says why, naming the program.
    virtual bool startDetached(const QString& program, const QStringList& args, QString* error = nullptr) = 0;
};

// The real thing, with fork and exec. The program gets this process's environment, current folder
// and standard streams, and no other open file of it.
class LocalProcessRunner : public ProcessRunner
{
public:
    bool startDetached(const QString& program, const QStringList& args, QString* error = nullptr) override;
};

} // namespace platform
