// Path and file routines against real files in a temporary folder.
#include "support/TempDir.h"
#include "util/ByteText.h"
#include "util/SPTools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

TEST(PathTextTest, FolderAndFileNamesAreJoinedAndTakenApart)
{
    // IncludeBackslash ends a folder with exactly one slash.
    const char* const folders[][2] = {{"", ""},   {"/a/b", "/a/b/"}, {"/a/b/", "/a/b/"}, {"/a/b///", "/a/b/"},
                                      {"/", "/"}, {"rel", "rel/"}};
    for (const auto& c : folders)
        EXPECT_EQ(IncludeBackslash(c[0]), c[1]) << c[0];

    // CombinePath joins a relative name and keeps an absolute one; dots are left for the file system.
    const char* const combined[][3] = {{"/opt/app", "res/x.png", "/opt/app/res/x.png"},
                                       {"/opt/app/", "res/x.png", "/opt/app/res/x.png"},
                                       {"/opt/app/", "/usr/bin/firefox", "/usr/bin/firefox"},
                                       {"", "res/x.png", "res/x.png"},
                                       {"/opt/app", "../x", "/opt/app/../x"},
                                       {"/opt/app", "", "/opt/app/"}};
    for (const auto& c : combined)
        EXPECT_EQ(CombinePath(c[0], c[1]), c[2]) << c[0] << " + " << c[1];

    // ExtractFileTitle drops the folder and the last extension only.
    const char* const titles[][2] = {{"/opt/app/langs/English.lan", "English"},
                                     {"a.b.skn", "a.b"},
                                     {"/x/.lan", ""},
                                     {"/x.y/README", "README"},
                                     {"plain", "plain"},
                                     {"/x/", ""}};
    for (const auto& c : titles)
        EXPECT_EQ(ExtractFileTitle(c[0]), c[1]) << c[0];
}

TEST(PathTest, GetLongPathResolvesLinksAndKeepsMissingPathsUnchanged)
{
    TempDir dir;
    const QString target = dir.write("real/file.txt", "x");
    const QString link = dir.file("link");
    ASSERT_TRUE(QFile::link(dir.file("real"), link));
    const QString canonicalDir = QFileInfo(dir.file("real")).canonicalFilePath();
    EXPECT_EQ(GetLongPath(link + "/file.txt"), canonicalDir + "/file.txt");
    EXPECT_EQ(GetLongPath(link + "/"), canonicalDir + "/");
    EXPECT_EQ(GetLongPath(link + "/./../real"), canonicalDir);
    EXPECT_EQ(GetLongPath(dir.file("missing/../x")), dir.file("missing/../x"));
    EXPECT_EQ(GetLongPath(""), "");
    Q_UNUSED(target);
}

TEST(PathTest, AProgramReplacedWhileRunningNamesTheInstalledFile)
{
    // As a package upgrade does: the running file is unlinked and a new one put under its name.
    TempDir dir;
    const QString probe = dir.file("access_probe");
    const QString built = QCoreApplication::applicationDirPath() + "/access_probe";
    ASSERT_TRUE(QFile::copy(built, probe));
    QProcess running;
    running.start(probe, {"--exe-after-line"});
    ASSERT_TRUE(running.waitForStarted(10000));
    ASSERT_TRUE(QFile::remove(probe));
    ASSERT_TRUE(QFile::copy(built, probe));
    running.write("go\n");
    ASSERT_TRUE(running.waitForFinished(10000));
    const QStringList lines = QString::fromLocal8Bit(running.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QFileInfo(probe).canonicalFilePath());
    EXPECT_EQ(lines[1], QFileInfo(probe).canonicalPath() + "/");

    // Removed for good (an uninstall), there is no installed file to name: the kernel's text stays.
    running.start(probe, {"--exe-after-line"});
    ASSERT_TRUE(running.waitForStarted(10000));
    ASSERT_TRUE(QFile::remove(probe));
    running.write("go\n");
    ASSERT_TRUE(running.waitForFinished(10000));
    EXPECT_TRUE(running.readAllStandardOutput().startsWith(
        QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath()) + "/access_probe (deleted)\n"));
}

TEST(ListFilesTest, AppendsMatchingFilesButNoFolders)
{
    TempDir dir;
    dir.write("langs/English.lan", "x");
    dir.write("langs/German.LAN", "x");
    dir.write("langs/.hidden.lan", "x");
    dir.write("langs/notes.txt", "x");
    dir.write("langs/folder.lan/inner.lan", "x");
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.file("langs/pipe.lan")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(dir.file("langs/English.lan"), dir.file("langs/Linked.lan")));
    const QString folder = dir.file("langs/");

    QStringList bare{"existing"};
    ListFiles(folder + "*.lan", bare, false);
    bare.sort();
    EXPECT_EQ(bare, (QStringList{".hidden.lan", "English.lan", "German.LAN", "Linked.lan", "existing"}));

    QStringList full;
    ListFiles(folder + "E*.lan", full, true);
    EXPECT_EQ(full, QStringList{folder + "English.lan"});

    QStringList none;
    ListFiles(folder + "*.skn", none, true);
    ListFiles(dir.file("missing/*.lan"), none, true);
    ListFiles(folder, none, true);
    EXPECT_TRUE(none.isEmpty());
}

TEST(SaveTextToFileTest, WritesEveryLineWithCrLf)
{
    TempDir dir;
    const QString file = dir.file("out.txt");
    ASSERT_TRUE(SaveTextToFile(" ", file));
    EXPECT_EQ(dir.read("out.txt"), QByteArray(" \r\n"));
    ASSERT_TRUE(SaveTextToFile("a\rb\nc\r\nd", file));
    EXPECT_EQ(dir.read("out.txt"), QByteArray("a\r\nb\r\nc\r\nd\r\n"));
    ASSERT_TRUE(SaveTextToFile("a\n\nb\n", file));
    EXPECT_EQ(dir.read("out.txt"), QByteArray("a\r\n\r\nb\r\n"));
    ASSERT_TRUE(SaveTextToFile("", file));
    EXPECT_EQ(dir.read("out.txt"), QByteArray());
    EXPECT_FALSE(SaveTextToFile("x", dir.file("missing/out.txt")));
}

TEST(AtomicWriteFileTest, ReplacesContentKeepsModeAndLeavesNoTemporaryFile)
{
    TempDir dir;
    const QString file = dir.write("data.bin", "old");
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0640), 0);
    const QByteArray bytes("new\0bytes\xff", 10);
    ASSERT_TRUE(AtomicWriteFile(file, bytes));
    EXPECT_EQ(dir.read("data.bin"), bytes);
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"data.bin"});
}

TEST(AtomicWriteFileTest, ANewFileFollowsTheUmaskWithoutOpeningItToOthersMeanwhile)
{
    TempDir dir;
    const mode_t saved = ::umask(027);
    ASSERT_TRUE(AtomicWriteFile(dir.file("new.bin"), "x"));
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(dir.file("new.bin")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Files other threads create while settings are saved keep the process's mask.
    ::umask(022);
    std::atomic<bool> writing{true};
    std::atomic<int> openToOthers{0};
    std::thread creator([&] {
        const QByteArray path = QFile::encodeName(dir.file("other.bin"));
        while (writing.load()) {
            const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
            struct stat created;
            if (fd >= 0 && ::fstat(fd, &created) == 0 && (created.st_mode & 0022) != 0)
                ++openToOthers;
            if (fd >= 0)
                ::close(fd);
            ::unlink(path.constData());
        }
    });
    for (int i = 0; i < 500; ++i)
        AtomicWriteFile(dir.file("saved.bin"), QByteArray::number(i));
    writing = false;
    creator.join();
    ::umask(saved);
    EXPECT_EQ(openToOthers.load(), 0);
}

TEST(AtomicWriteFileTest, ALinkIsReplacedItselfAndItsTargetNeverWritten)
{
    // In a folder another user can write, a link is that user's: following it would let them choose
    // which of this user's files a save overwrites.
    TempDir dir;
    const QString real = dir.write("elsewhere/victim.txt", "old");
    const QString link = dir.file("Setting.dat");
    ASSERT_TRUE(QFile::link(real, link));
    ASSERT_TRUE(AtomicWriteFile(link, "new"));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(dir.read("Setting.dat"), QByteArray("new"));
    EXPECT_EQ(dir.read("elsewhere/victim.txt"), QByteArray("old"));

    // A dangling link does not create its target either.
    const QString dangling = dir.file("proxylist.lst");
    ASSERT_TRUE(QFile::link(dir.file("elsewhere/created.txt"), dangling));
    ASSERT_TRUE(AtomicWriteFile(dangling, "list"));
    EXPECT_FALSE(QFileInfo::exists(dir.file("elsewhere/created.txt")));
    EXPECT_EQ(dir.read("proxylist.lst"), QByteArray("list"));
}

TEST(AtomicWriteFileTest, FailureLeavesTheOldFileAlone)
{
    TempDir dir;
    dir.write("target/keep.txt", "keep");
    // A folder cannot be replaced by a file: the rename fails after the temporary file is written.
    EXPECT_FALSE(AtomicWriteFile(dir.file("target"), "x"));
    EXPECT_EQ(dir.read("target/keep.txt"), QByteArray("keep"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
    EXPECT_FALSE(AtomicWriteFile(dir.file("missing/x"), "x"));
    EXPECT_FALSE(AtomicWriteFile("", "x"));
}

// CheckFileAccess asks for the effective user's rights; root may write almost anywhere, so the
// refused case runs a probe as an unprivileged user when the tests run as root.
bool probeAccessAs(uid_t uid, const QString& path)
{
    QProcess probe;
    probe.setProgram(QCoreApplication::applicationDirPath() + "/access_probe");
    probe.setArguments({path});
    if (::geteuid() == 0) {
        probe.setChildProcessModifier([uid] {
            if (::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(3);
        });
    }
    probe.start();
    EXPECT_TRUE(probe.waitForFinished(30000));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(probe.exitCode() == 0 || probe.exitCode() == 1) << probe.exitCode();
    return probe.exitCode() == 0;
}

TEST(CheckFileAccessTest, TellsWhetherTheUserMayWrite)
{
    TempDir dir;
    EXPECT_TRUE(CheckFileAccess(dir.path()));
    EXPECT_TRUE(CheckFileAccess(dir.write("f.txt", "x")));
    EXPECT_FALSE(CheckFileAccess(dir.file("missing")));
    EXPECT_FALSE(CheckFileAccess(""));

    const uid_t nobody = 65534;
    const QString shared = dir.file("shared");
    const QString locked = dir.file("locked");
    ASSERT_TRUE(QDir().mkdir(shared) && QDir().mkdir(locked));
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
    const uid_t who = ::geteuid() == 0 ? nobody : ::geteuid();
    EXPECT_TRUE(probeAccessAs(who, shared));
    EXPECT_FALSE(probeAccessAs(who, locked));
    ::chmod(QFile::encodeName(locked).constData(), 0755);
}

TEST(ByteTextTest, InvalidUtf8SurvivesARoundTrip)
{
    const QByteArray samples[] = {
        QByteArray("plain ascii"),
        QByteArray("gr\xc3\xbc\xc3\x9f"
                   "e \xf0\x9f\x98\x80"),
        QByteArray("latin1 \xe4\xf6\xfc"),
        QByteArray("\xc0\xaf overlong, \xed\xa0\x80 surrogate, \xf4\x90\x80\x80 too big"),
        QByteArray("cut \xe2\x82", 7),
        QByteArray("nul\0inside", 10),
    };
    for (const QByteArray& bytes : samples)
        EXPECT_EQ(TextToBytes(BytesToText(bytes)), bytes) << bytes.toHex().constData();
    EXPECT_EQ(BytesToText("gr\xc3\xbc\xc3\x9f"
                          "e"),
              QString::fromUtf8("grüße"));
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    EXPECT_EQ(TextToBytes(BytesToText(all)), all);
}

} // namespace
