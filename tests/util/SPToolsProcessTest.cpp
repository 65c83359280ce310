// Process routines with real child processes: argument vectors, waiting, time-outs, reaping.
#include "support/TempDir.h"
#include "util/SPTools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

// Polls until condition holds or the deadline passes; returns the final state of the condition.
template <typename Condition> bool eventually(Condition condition, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QString writeScript(const TempDir& dir, const QString& name, const QByteArray& body)
{
    const QString path = dir.write(name, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup |
                                    QFile::ReadGroup | QFile::ExeOther | QFile::ReadOther);
    return path;
}

// Children of this process that have ended but were never reaped.
int zombieChildren()
{
    int zombies = 0;
    const QString self = QString::number(::getpid());
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // Fields after the command name (which may hold blanks) start after the last ")".
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1())
            ++zombies;
    }
    return zombies;
}

TEST(ExecuteProgramTest, PassesArgumentsVerbatimWithoutAShell)
{
    TempDir dir;
    const QString out = dir.file("args.txt");
    const QStringList args{"-c", "printf '%s\\n' \"$@\" > \"$0\"", out, "a b", "$HOME", "'q'", "*", "x;y"};
    ASSERT_TRUE(ExecuteProgram("/bin/sh", args, true, true, -1));
    // Waited to the end: the file is complete on return.
    EXPECT_EQ(dir.read("args.txt"), QByteArray("a b\n$HOME\n'q'\n*\nx;y\n"));
}

TEST(ExecuteProgramTest, EmptyFileNameTakesTheProgramFromTheArgumentsAndPath)
{
    TempDir dir;
    const QString out = dir.file("out.txt");
    ASSERT_TRUE(ExecuteProgram(QString(), {"sh", "-c", "echo started > \"$0\"", out}, false, true, -1));
    EXPECT_EQ(dir.read("out.txt"), QByteArray("started\n"));
    EXPECT_FALSE(ExecuteProgram(QString(), {}, false, true, -1));
}

TEST(ExecuteProgramTest, RelativeNamesAreTakenFromTheProgramFolderAndRunThere)
{
    // A private folder below the test executable's own folder stands for a folder of the program.
    QTemporaryDir sub(QCoreApplication::applicationDirPath() + "/proc-test-XXXXXX");
    ASSERT_TRUE(sub.isValid());
    const QString name = QFileInfo(sub.path()).fileName();
    QFile script(sub.filePath("where.sh"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\npwd -P > where.txt\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    ASSERT_TRUE(RunProgram(name + "/where.sh", {}, true, -1));
    QFile result(sub.filePath("where.txt"));
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(result.readAll().trimmed(), QFileInfo(sub.path()).canonicalFilePath().toUtf8());
}

TEST(ExecuteProgramTest, ProgramsThatCannotStartGiveFalse)
{
    TempDir dir;
    const QString plain = dir.write("not-executable.sh", "#!/bin/sh\ntrue\n");
    EXPECT_FALSE(ExecuteProgram(plain, {}, false, true, -1));
    EXPECT_FALSE(ExecuteProgram(dir.file("missing"), {}, false, false, -1));
    EXPECT_FALSE(ExecuteProgram("no-such-program-anywhere-xyz", {}, false, true, -1));
    EXPECT_FALSE(ExecuteProgram(dir.path(), {}, false, true, -1));
    EXPECT_TRUE(eventually([] { return zombieChildren() == 0; }));
}

TEST(ExecuteProgramTest, TimeOutReturnsWhileTheProgramRunsOnAndNoZombieRemains)
{
    TempDir dir;
    const QString gate = dir.file("gate");
    const QString done = dir.file("done");
    // The child runs until the test opens the gate, so the time-out is certain to pass first.
    const QString script = writeScript(dir, "slow.sh", "while [ ! -e \"$1\" ]; do sleep 0.02; done\ntouch \"$2\"\n");
    ASSERT_TRUE(ExecuteProgram(script, {gate, done}, true, true, 50));
    EXPECT_FALSE(QFile::exists(done));
    QFile(gate).open(QIODevice::WriteOnly);
    EXPECT_TRUE(eventually([&] { return QFile::exists(done); }));
    EXPECT_TRUE(eventually([] { return zombieChildren() == 0; }));
}

TEST(ExecuteProgramTest, DetachedStartsAreReapedWhenTheyEnd)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(ExecuteProgram("/bin/true", {}, false, false, -1));
    ASSERT_TRUE(RunProgram("/bin/true", {}, false, -1));
    EXPECT_TRUE(eventually([] { return zombieChildren() == 0; }));
}

TEST(RunProgramBoundedTest, EndsAProgramThatOutlivesItsTime)
{
    TempDir dir;
    const QString pidFile = dir.file("pid");
    const QString script = writeScript(dir, "forever.sh", "echo $$ > \"$1\"\nexec sleep 60\n");
    bool inTime = true;
    ASSERT_TRUE(RunProgramBounded(script, {pidFile}, 300, &inTime));
    EXPECT_FALSE(inTime);
    const pid_t pid = dir.read("pid").trimmed().toInt();
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0) << "the program still runs";

    ASSERT_TRUE(RunProgramBounded("/bin/true", {}, 10000, &inTime));
    EXPECT_TRUE(inTime);
    EXPECT_FALSE(RunProgramBounded(dir.file("missing"), {}, 100, &inTime));
}

class LaunchDefaultBrowserTest : public ::testing::Test
{
protected:
    // A stand-in browser that records its arguments, one per line.
    QString recorder() const
    {
        return writeScript(m_dir, "browser.sh",
                           "printf '%s\\n' \"$@\" > \"" + m_dir.file("args.tmp").toUtf8() + "\"\nmv \"" +
                               m_dir.file("args.tmp").toUtf8() + "\" \"" + m_dir.file("args.txt").toUtf8() + "\"\n");
    }
    QByteArray recordedArgs() const
    {
        EXPECT_TRUE(eventually([this] { return QFile::exists(m_dir.file("args.txt")); }));
        return m_dir.read("args.txt");
    }

    TempDir m_dir;
};

TEST_F(LaunchDefaultBrowserTest, AppendsTheUrlAsOneArgumentWhenTheCommandHasNoPlaceholder)
{
    ScopedEnv browser("BROWSER", recorder().toUtf8());
    const QString url = "http://h/p?a=1&b=\"x y\";$(id)%s";
    ASSERT_TRUE(LaunchDefaultBrowser(url));
    EXPECT_EQ(recordedArgs(), url.toUtf8() + "\n");
}

TEST_F(LaunchDefaultBrowserTest, ReplacesEveryPlaceholderAndTriesCommandsInTurn)
{
    const QByteArray command = "/no/such/browser:" + recorder().toUtf8() + " --new-window %1 --again=%1";
    ScopedEnv browser("BROWSER", command);
    ASSERT_TRUE(LaunchDefaultBrowser("http://h/%1"));
    EXPECT_EQ(recordedArgs(), QByteArray("--new-window\nhttp://h/%1\n--again=http://h/%1\n"));
}

TEST_F(LaunchDefaultBrowserTest, NoCommandThatStartsGivesFalse)
{
    ScopedEnv browser("BROWSER", "/no/such/browser %1");
    EXPECT_FALSE(LaunchDefaultBrowser("http://h/"));
    // Without $BROWSER the desktop's opener is used; with no opener on PATH nothing can start.
    ScopedEnv noBrowser("BROWSER", "");
    ScopedEnv path("PATH", m_dir.path().toUtf8());
    EXPECT_FALSE(LaunchDefaultBrowser("http://h/"));
}

} // namespace
