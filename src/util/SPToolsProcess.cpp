// Process routines of SPTools: fork/exec with an argument vector, never through a shell.
#include "util/ByteText.h"
#include "util/SPTools.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {

struct Command
{
    QString program;    // full or relative file name handed to execv
    QString workFolder; // empty: inherit the current folder
    QStringList args;   // argv[1..]
};

// Finds the file to execute. Names with a "/" are taken from the program folder (absolute names as
// they are); a bare name is taken from the program folder when it is there, else from PATH.
bool resolveCommand(const QString& fileName, const QStringList& args, Command& command)
{
    if (fileName.isEmpty()) {
        if (args.isEmpty() || args.first().isEmpty())
            return false;
        const QString first = args.first();
        command.program = first.contains(u'/') ? first : QStandardPaths::findExecutable(first);
        command.args = args.mid(1);
        return !command.program.isEmpty();
    }
    command.args = args;
    if (!fileName.contains(u'/')) {
        const QString beside = GetAppPath() + fileName;
        const QFileInfo info(beside);
        if (!(info.isFile() && info.isExecutable())) {
            command.program = QStandardPaths::findExecutable(fileName);
            return !command.program.isEmpty();
        }
    }
    command.program = CombinePath(GetAppPath(), fileName);
    command.workFolder = command.program.left(command.program.lastIndexOf(u'/') + 1);
    return true;
}

// Starts the command; returns the child's pid, or -1 when it could not be started (fork failed,
// the folder or the program could not be used). A failed exec is reported back through a pipe
// that closes by itself when exec succeeds.
pid_t spawn(const Command& command)
{
    const QByteArray program = TextToBytes(command.program);
    const QByteArray folder = TextToBytes(command.workFolder);
    std::vector<QByteArray> storage;
    storage.reserve(command.args.size() + 1);
    storage.push_back(program);
    for (const QString& arg : command.args)
        storage.push_back(TextToBytes(arg));
    std::vector<char*> argv;
    for (QByteArray& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent may have other threads.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        // The child inherits none of our files besides the standard ones.
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        int error = 0;
        if (!folder.isEmpty() && ::chdir(folder.constData()) != 0)
            error = errno;
        else {
            ::execv(program.constData(), argv.data());
            error = errno;
        }
        while (::write(errorPipe[1], &error, sizeof error) < 0 && errno == EINTR) {
        }
        ::_exit(127);
    }
    ::close(errorPipe[1]);
    if (pid < 0) {
        ::close(errorPipe[0]);
        return -1;
    }
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(errorPipe[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    if (got > 0) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return pid;
}

// Reaps the child once it has ended; true when it did. ECHILD (someone ignores SIGCHLD and the
// kernel reaped it) counts as ended.
bool reapNow(pid_t pid, bool block)
{
    int status;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        if (r == pid)
            return true;
        if (r == 0)
            return false;
        if (errno == EINTR)
            continue;
        return true;
    }
}

// Waits up to timeoutMs (-1: no limit) for the child to end and reaps it. False on time-out.
bool waitForExit(pid_t pid, int timeoutMs)
{
    if (timeoutMs < 0)
        return reapNow(pid, true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const int pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        if (reapNow(pid, false)) {
            if (pidFd >= 0)
                ::close(pidFd);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        if (pidFd >= 0) {
            pollfd p = {pidFd, POLLIN, 0};
            ::poll(&p, 1, int(left));
        } else {
            // Kernels without pidfd: a short poll interval is the best that can be done.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 5)));
        }
    }
    if (pidFd >= 0)
        ::close(pidFd);
    return false;
}

// A child we stop waiting for is still ours to reap; a detached thread does so when it ends, so
// that no zombie is left behind.
void reapLater(pid_t pid)
{
    try {
        std::thread([pid] { reapNow(pid, true); }).detach();
    } catch (const std::system_error&) {
        // Out of threads: the child stays a zombie until this process ends, which is harmless.
    }
}

// Replaces every "%1" (and "%s", the placeholder of $BROWSER) in one pass, so that a URL which
// itself holds such a text is inserted unchanged.
QString fillUrl(const QString& arg, const QString& url, bool& placed)
{
    QString result;
    for (int i = 0; i < arg.size(); ++i) {
        if (arg[i] == u'%' && i + 1 < arg.size() && (arg[i + 1] == u'1' || arg[i + 1] == u's')) {
            result += url;
            placed = true;
            ++i;
        } else {
            result += arg[i];
        }
    }
    return result;
}

} // namespace

bool ExecuteProgram(const QString& fileName, const QStringList& args, bool hide, bool wait, int timeoutMs)
{
    Q_UNUSED(hide);
    Command command;
    if (!resolveCommand(fileName, args, command))
        return false;
    const pid_t pid = spawn(command);
    if (pid < 0)
        return false;
    if (!wait || !waitForExit(pid, timeoutMs))
        reapLater(pid);
    return true;
}

bool RunProgram(const QString& fileName, const QStringList& args, bool hideAndWait, int timeoutMs)
{
    return ExecuteProgram(fileName, args, hideAndWait, hideAndWait, timeoutMs);
}

bool RunProgramBounded(const QString& fileName, const QStringList& args, int timeoutMs, bool* exitedInTime)
{
    if (exitedInTime)
        *exitedInTime = false;
    Command command;
    if (!resolveCommand(fileName, args, command))
        return false;
    const pid_t pid = spawn(command);
    if (pid < 0)
        return false;
    if (waitForExit(pid, timeoutMs)) {
        if (exitedInTime)
            *exitedInTime = true;
        return true;
    }
    ::kill(pid, SIGTERM);
    if (!waitForExit(pid, 2000)) {
        ::kill(pid, SIGKILL);
        reapNow(pid, true);
    }
    return true;
}

bool LaunchDefaultBrowser(const QString& url)
{
    // A text starting with "-" would reach the browser command as one of its options.
    if (url.startsWith(u'-'))
        return false;
    // $BROWSER may list several commands separated by ":"; the first one that starts is used.
    QStringList commands = qEnvironmentVariable("BROWSER").split(u':', Qt::SkipEmptyParts);
    if (commands.isEmpty())
        commands.append(QStringLiteral("xdg-open %1"));
    for (const QString& commandText : commands) {
        // The URL is put into the argument vector after splitting, so no character in it can
        // change how the command is split.
        QStringList args = SplitCommandLine(commandText);
        if (args.isEmpty())
            continue;
        bool placed = false;
        for (QString& arg : args)
            arg = fillUrl(arg, url, placed);
        if (!placed)
            args.append(url);
        if (ExecuteProgram(QString(), args, false, false, 0))
            return true;
    }
    return false;
}
