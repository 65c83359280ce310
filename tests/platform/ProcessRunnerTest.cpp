// Detached starts with real child processes: argument vectors, what the child inherits, failures
// and reaping.
#include "platform/ProcessRunner.h"

#include "support/FakeFirefox.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <fcntl.h>
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

} // namespace

TEST(LocalProcessRunner, StartsTheProgramOnItsOwnWithItsArgumentsAndNoFileOfOurs)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    // A file opened without close-on-exec, as a library might leave one.
    TempDir dir;
    const int leaky = ::open(QFile::encodeName(dir.write(QStringLiteral("open.txt"), "x")).constData(), O_RDONLY);
    ASSERT_GE(leaky, 3);
    const QStringList args{QStringLiteral("a b"), QStringLiteral("\"quoted\""), QStringLiteral("--flag"),
                           QStringLiteral("$(touch x); y"), QString()};
    LocalProcessRunner runner;
    QString error;
    ASSERT_TRUE(runner.startDetached(FakeFirefox::executable(), args, &error)) << error.toStdString();
    ::close(leaky);

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
