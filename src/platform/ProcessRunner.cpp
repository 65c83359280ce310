#include "platform/ProcessRunner.h"

#include "util/ByteText.h"

#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace platform {

namespace {

bool fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}

QString errorText(int code)
{
    return QString::fromStdString(std::system_category().message(code));
}

// From here on only async-signal-safe calls: the parent may have other threads.
[[noreturn]] void reportAndExit(int errorFd, int code)
{
    while (::write(errorFd, &code, sizeof code) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// Marks the descriptors named in /proc/self/fd (from 3 up) close-on-exec; false when /proc cannot be read.
bool markListedDescriptorsCloseOnExec()
{
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    alignas(struct dirent64) char buffer[4096];
    ssize_t got;
    while ((got = ::getdents64(dir, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            int fd = 0;
            const char* c = entry->d_name;
            for (; *c >= '0' && *c <= '9' && fd < (1 << 24); ++c)
                fd = fd * 10 + (*c - '0');
            if (*c == '\0' && c != entry->d_name && fd > 2)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::close(dir);
    return got == 0;
}

// The program inherits none of our files besides the standard ones; the error pipe goes at exec too.
// close_range marks them all at once, but kernels before 5.11 lack its close-on-exec flag and sandboxes
// (seccomp profiles of containers) may refuse it: then each open descriptor is marked on its own. Marked,
// not closed, so that the error pipe still reports a failing exec.
void closeOurDescriptorsAtExec()
{
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    if (markListedDescriptorsCloseOnExec())
        return;
    // Without /proc every number below the descriptor limit is tried. The caller waits for the exec, so a
    // limit in the millions is cut short; this program keeps far fewer files open.
    constexpr rlim_t kMostTried = 65536;
    struct rlimit limit = {};
    rlim_t end = kMostTried;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kMostTried)
        end = limit.rlim_cur;
    for (rlim_t fd = 3; fd < end; ++fd)
        ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void execProgram(const char* path, char* const argv[], int errorFd)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    closeOurDescriptorsAtExec();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(path, argv);
    reportAndExit(errorFd, errno);
}

} // namespace

bool LocalProcessRunner::startDetached(const QString& program, const QStringList& args, QString* error)
{
    if (program.isEmpty())
        return fail(error, QStringLiteral("no program to start"));
    const QString path = program.contains(u'/') ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return fail(error, program + QStringLiteral(": not found on PATH"));

    std::vector<QByteArray> storage;
    storage.reserve(size_t(args.size()) + 1);
    storage.push_back(TextToBytes(path));
    for (const QString& arg : args)
        storage.push_back(TextToBytes(arg));
    std::vector<char*> argv;
    for (QByteArray& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // A failed exec sends its errno through this pipe; a successful one closes it unwritten.
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        return fail(error, path + QStringLiteral(": ") + errorText(errno));
    // No signal handler of ours may run in the children before exec; each unblocks just before.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t middle = ::fork();
    if (middle == 0) {
        // The middle process starts the program and ends at once, so that the program belongs to
        // init (or the session's reaper) instead of us: nothing here has to wait for it, ever.
        const pid_t child = ::_Fork();
        if (child == 0)
            execProgram(argv[0], argv.data(), errorPipe[1]);
        if (child < 0)
            reportAndExit(errorPipe[1], errno);
        ::_exit(0);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(errorPipe[1]);
    if (middle < 0) {
        ::close(errorPipe[0]);
        return fail(error, path + QStringLiteral(": ") + errorText(forkError));
    }
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(errorPipe[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    int status;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (got > 0)
        return fail(error, path + QStringLiteral(": ") + errorText(childError));
    return true;
}

} // namespace platform
