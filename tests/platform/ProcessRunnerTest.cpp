// Detached starts with real child processes: argument vectors, what the child inherits, failures
// and reaping.
#include "platform/ProcessRunner.h"

#include "support/FakeFirefox.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

using platform::LocalProcessRunner;
using testsupport::FakeFirefox;
using testsupport::TempDir;

namespace {

// Fields of /proc/<pid>/stat after the command name (which may hold blanks): state, parent, ...
QList<QByteArray> statFields(const QString& pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

// Children of this process that have ended but were never reaped.
int zombieChildren()
{
    int zombies = 0;
    const QByteArray self = QByteArray::number(::getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QList<QByteArray> fields = statFields(entry);
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self)
            ++zombies;
    }
    return zombies;
}

// Makes close_range fail with ENOSYS on the calling thread and in every process started from it, as an
// older kernel or a container's seccomp profile does. Other threads of the test are not affected.
bool refuseCloseRangeOnThisThread()
{
#if defined(__x86_64__)
    constexpr __u32 kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr __u32 kArch = AUDIT_ARCH_AARCH64;
#else
    constexpr __u32 kArch = 0; // no filter written for this machine
#endif
    if (kArch == 0)
        return false;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
        return false;
    // An empty range: succeeds wherever close_range is allowed.
    return ::syscall(SYS_close_range, ~0U, ~0U, 0) == -1 && errno == ENOSYS;
}

class StartedProgram : public ::testing::TestWithParam<bool>
{
};

} // namespace

// With close_range refused the runner marks our files one by one; the program must see the same.
TEST_P(StartedProgram, RunsOnItsOwnWithItsArgumentsAndNoFileOfOurs)
{
    const bool closeRangeRefused = GetParam();
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    // A file opened without close-on-exec, as a library might leave one.
    TempDir dir;
    const int leaky = ::open(QFile::encodeName(dir.write(QStringLiteral("open.txt"), "x")).constData(), O_RDONLY);
    ASSERT_GE(leaky, 3);
    const QStringList args{QStringLiteral("a b"), QStringLiteral("\"quoted\""), QStringLiteral("--flag"),
                           QStringLiteral("$(touch x); y"), QString()};
    LocalProcessRunner runner;
    QString error;
    bool started = false;
    bool refused = false;
    std::thread([&] {
        refused = closeRangeRefused && refuseCloseRangeOnThisThread();
        if (refused || !closeRangeRefused)
            started = runner.startDetached(FakeFirefox::executable(), args, &error);
    }).join();
    ::close(leaky);
    if (closeRangeRefused && !refused)
        GTEST_SKIP() << "this system does not let a test install a seccomp filter";
    ASSERT_TRUE(started) << error.toStdString();

    const auto calls = fake.waitForInvocations(1);
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].args, args);
    const QString pid = QString::number(calls[0].pid);
    // Not our child: it outlives this process and nothing here has to reap it.
    const QList<QByteArray> fields = statFields(pid);
    ASSERT_GT(fields.size(), 1);
    EXPECT_NE(fields[1], QByteArray::number(::getpid()));
    EXPECT_EQ(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
    ::kill(pid_t(calls[0].pid), SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(LocalProcessRunner, StartedProgram, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "CloseRangeRefused" : "CloseRangeAllowed");
                         });

TEST(LocalProcessRunner, AProgramThatCannotStartIsNamedWithTheReasonAndLeavesNothingBehind)
{
    TempDir dir;
    const QString plain = dir.write(QStringLiteral("not-executable.sh"), "#!/bin/sh\ntrue\n");
    LocalProcessRunner runner;
    const struct
    {
        QString program;
        QString reason;
    } cases[] = {
        {QStringLiteral("/nonexistent/firefox"), QStringLiteral("/nonexistent/firefox: No such file or directory")},
        {plain, plain + QStringLiteral(": Permission denied")},
        {QStringLiteral("no-such-program-anywhere-xyz"),
         QStringLiteral("no-such-program-anywhere-xyz: not found on PATH")},
        {QString(), QStringLiteral("no program to start")},
    };
    for (const auto& c : cases) {
        QString error;
        EXPECT_FALSE(runner.startDetached(c.program, {}, &error)) << c.program.toStdString();
        EXPECT_EQ(error, c.reason);
    }
    // Started programs that end at once are no more ours to reap than the failed ones.
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(runner.startDetached(QStringLiteral("true"), {}));
    EXPECT_EQ(zombieChildren(), 0);
}
