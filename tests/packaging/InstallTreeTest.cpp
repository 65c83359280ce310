// The build installed into a temporary DESTDIR the way a distribution does it, then used from
// there: the files a desktop needs, their validators, and the program started through its symlink.
#include "PackagingTools.h"
#include "platform/UnixInstanceChannel.h"
#include "support/PrivateHome.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUuid>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <unistd.h>

using namespace packaging;

using testsupport::waitUntil;

namespace {

const char* const kShownMarker = "main window shown";

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class InstalledTree : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_root = std::make_unique<testsupport::TempDir>();
        if (!QFileInfo(BuildDir() + QStringLiteral("/bin/veilport")).isExecutable()) {
            s_installLog = QStringLiteral("the veilport executable is not built");
            return;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DESTDIR"), s_root->file(QStringLiteral("dest")));
        const RunResult install =
            RunTool(QStringLiteral(VEILPORT_CMAKE_COMMAND),
                    {QStringLiteral("--install"), BuildDir(), QStringLiteral("--prefix"), QStringLiteral("/usr")}, env);
        s_installLog = install.out + install.err;
        s_installed = install.finished && install.exitCode == 0;
    }

    static void TearDownTestSuite() { s_root.reset(); }

    void SetUp() override
    {
        if (!QFileInfo(BuildDir() + QStringLiteral("/bin/veilport")).isExecutable())
            GTEST_SKIP() << s_installLog.toStdString();
        ASSERT_TRUE(s_installed) << s_installLog.toStdString();
    }

    static QString usr(const QString& path) { return s_root->file(QStringLiteral("dest/usr/") + path); }
    static QString programFolder() { return usr(QStringLiteral("lib/veilport")); }

    // A private desktop session: home, settings folders and the desktop's proxy store.
    QProcessEnvironment session(const testsupport::TempDir& home) const
    {
        const testsupport::PrivateHome privateHome(home.path());
        privateHome.create();
        return privateHome.programEnvironment();
    }

    static std::unique_ptr<testsupport::TempDir> s_root;
    static QString s_installLog;
    static bool s_installed;
};

std::unique_ptr<testsupport::TempDir> InstalledTree::s_root;
QString InstalledTree::s_installLog;
bool InstalledTree::s_installed = false;

} // namespace

TEST_F(InstalledTree, ProgramAndAllItsDataShareOneFolderReachedThroughARelativeSymlink)
{
    const QString link = usr(QStringLiteral("bin/veilport"));
    ASSERT_TRUE(QFileInfo(link).isSymLink());
    char target[4096] = {};
    ASSERT_GT(::readlink(QFile::encodeName(link).constData(), target, sizeof target - 1), 0);
    // An absolute target would point outside DESTDIR (and outside a package's staging tree).
    EXPECT_NE(target[0], '/') << target;
    EXPECT_EQ(QFileInfo(link).canonicalFilePath(),
              QFileInfo(programFolder() + QStringLiteral("/veilport")).canonicalFilePath());
    EXPECT_TRUE(QFileInfo(link).isExecutable());

    const QString data = SourceDir() + QStringLiteral("/data");
    EXPECT_EQ(readFile(programFolder() + QStringLiteral("/const.dat")), readFile(data + QStringLiteral("/const.dat")));
    EXPECT_TRUE(QFileInfo(programFolder() + QStringLiteral("/evport.xpi")).isFile());
    EXPECT_TRUE(QFileInfo(programFolder() + QStringLiteral("/veilport-companion-host")).isExecutable());
    EXPECT_TRUE(QFileInfo(programFolder() + QStringLiteral("/companion-chromium/background.js")).isFile());
    EXPECT_TRUE(QFileInfo(programFolder() + QStringLiteral("/res/temp.html")).isFile());
    EXPECT_EQ(FilesIn(programFolder() + QStringLiteral("/res/images"), QStringLiteral("*")),
              FilesIn(data + QStringLiteral("/res/images"), QStringLiteral("*")));

    const QStringList languages = FilesIn(data + QStringLiteral("/langs"), QStringLiteral("*.lan"));
    EXPECT_FALSE(languages.isEmpty());
    EXPECT_EQ(FilesIn(programFolder() + QStringLiteral("/langs"), QStringLiteral("*.lan")), languages);

    // Skins are packed at build time; every packed one ships.
    const QStringList skins = FilesIn(BuildDir() + QStringLiteral("/bin/skins"), QStringLiteral("*.skn"));
    EXPECT_FALSE(skins.isEmpty());
    EXPECT_EQ(FilesIn(programFolder() + QStringLiteral("/skins"), QStringLiteral("*")), skins);
}

TEST_F(InstalledTree, DesktopEntryMetainfoAndIconsPassTheirChecks)
{
    const QString desktop = usr(QStringLiteral("share/applications/org.veilport.Veilport.desktop"));
    const QString metainfo = usr(QStringLiteral("share/metainfo/org.veilport.Veilport.metainfo.xml"));
    const QString validateDesktop = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    const QString appstream = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
    ASSERT_FALSE(validateDesktop.isEmpty()) << "desktop-file-utils is missing (scripts/setup installs it)";
    ASSERT_FALSE(appstream.isEmpty()) << "appstream is missing (scripts/setup installs it)";

    const RunResult entry = RunTool(validateDesktop, {desktop});
    EXPECT_EQ(entry.exitCode, 0) << entry.out.toStdString() << entry.err.toStdString();
    // The validator prints warnings and hints even when it succeeds; a clean entry has none.
    EXPECT_EQ(entry.out + entry.err, QString());
    const RunResult meta = RunTool(appstream, {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
    EXPECT_EQ(meta.exitCode, 0) << meta.out.toStdString() << meta.err.toStdString();

    // The entry starts the symlinked program and names the icon installed in every size.
    const QByteArray entryText = readFile(desktop);
    EXPECT_EQ(IniValue(entryText, QStringLiteral("Exec")).section(u' ', 0, 0), QStringLiteral("veilport"));
    EXPECT_TRUE(QFileInfo::exists(usr(QStringLiteral("bin/veilport"))));
    const QString icon = IniValue(entryText, QStringLiteral("Icon"));
    ASSERT_FALSE(icon.isEmpty());
    EXPECT_TRUE(readFile(metainfo).contains(QFileInfo(desktop).fileName().toUtf8()));
    const QString hicolor = usr(QStringLiteral("share/icons/hicolor/"));
    EXPECT_TRUE(QImageReader(hicolor + QStringLiteral("scalable/apps/") + icon + QStringLiteral(".svg")).canRead() ||
                readFile(hicolor + QStringLiteral("scalable/apps/") + icon + QStringLiteral(".svg")).contains("<svg"));
    int sizes = 0;
    for (const QString& folder : QDir(hicolor).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)$")).match(folder);
        if (!m.hasMatch())
            continue;
        ++sizes;
        const QString png = hicolor + folder + QStringLiteral("/apps/") + icon + QStringLiteral(".png");
        // A picture of another size than its folder says is scaled blurry by every desktop.
        EXPECT_EQ(QImageReader(png).size(), QSize(m.captured(1).toInt(), m.captured(2).toInt())) << png.toStdString();
    }
    EXPECT_GE(sizes, 4);
}

TEST_F(InstalledTree, ListServiceComesWithManualPagesAndAUnitItsOptionsMatch)
{
    for (const char* page : {"share/man/man1/veilport.1.gz", "share/man/man1/veilport-listservice.1.gz"})
        EXPECT_TRUE(QFileInfo(usr(QString::fromLatin1(page))).isFile()) << page;
    EXPECT_TRUE(QFileInfo(usr(QStringLiteral("share/doc/veilport/copyright"))).isFile());

    const QByteArray unit = readFile(usr(QStringLiteral("lib/systemd/system/veilport-listservice.service")));
    const QStringList exec = IniValue(unit, QStringLiteral("ExecStart")).split(u' ', Qt::SkipEmptyParts);
    ASSERT_FALSE(exec.isEmpty());
    EXPECT_EQ(exec.front(), QStringLiteral("/usr/bin/veilport-listservice"));
    const QString service = usr(QStringLiteral("bin/veilport-listservice"));
    ASSERT_TRUE(QFileInfo(service).isExecutable());

    // Under another prefix the unit names the executable there, not /usr/bin.
    testsupport::TempDir other;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DESTDIR"), other.path());
    const RunResult install = RunTool(
        QStringLiteral(VEILPORT_CMAKE_COMMAND),
        {QStringLiteral("--install"), BuildDir(), QStringLiteral("--prefix"), QStringLiteral("/opt/veilport")}, env);
    ASSERT_EQ(install.exitCode, 0) << install.err.toStdString();
    const QByteArray otherUnit =
        readFile(other.file(QStringLiteral("opt/veilport/lib/systemd/system/veilport-listservice.service")));
    const QString otherExec = IniValue(otherUnit, QStringLiteral("ExecStart")).section(u' ', 0, 0);
    EXPECT_EQ(otherExec, QStringLiteral("/opt/veilport/bin/veilport-listservice"));
    EXPECT_TRUE(QFileInfo(other.path() + otherExec).isExecutable());

    // An option the service does not know makes it end at once, and the unit would never run.
    const RunResult help = RunTool(service, {QStringLiteral("--help")});
    ASSERT_EQ(help.exitCode, 0) << help.err.toStdString();
    int options = 0;
    for (const QString& word : exec.mid(1)) {
        if (!word.startsWith(QStringLiteral("--")))
            continue;
        ++options;
        EXPECT_TRUE(help.out.contains(word + u' ')) << word.toStdString() << " is no option of the service";
    }
    EXPECT_GE(options, 2);
}

TEST_F(InstalledTree, VersionAndHelpPrintAndEndWithoutStartingTheProgram)
{
    testsupport::TempDir home;
    const QProcessEnvironment env = session(home);
    const QString link = usr(QStringLiteral("bin/veilport"));

    const RunResult version = RunTool(link, {QStringLiteral("--version")}, env, 30000);
    ASSERT_TRUE(version.finished);
    EXPECT_EQ(version.exitCode, 0) << version.err.toStdString();
    // The version is the one of the constants found beside the real executable, not the link.
    const QString constVersion =
        IniValue(readFile(programFolder() + QStringLiteral("/const.dat")), QStringLiteral("App.Ver"));
    ASSERT_FALSE(constVersion.isEmpty());
    EXPECT_EQ(version.out, QStringLiteral("Veilport ") + constVersion + u'\n');

    const RunResult help = RunTool(link, {QStringLiteral("--help")}, env, 30000);
    ASSERT_TRUE(help.finished);
    EXPECT_EQ(help.exitCode, 0);
    for (const char* word : {"Usage: veilport", "-autorun", "--version", "-s"})
        EXPECT_TRUE(help.out.contains(QString::fromLatin1(word))) << word;

    // Neither chose a settings folder or wrote a setting.
    EXPECT_TRUE(QDir(home.file(QStringLiteral("config"))).isEmpty());
    EXPECT_TRUE(QDir(home.file(QStringLiteral("common"))).isEmpty());

    // Without its constants the program says where it looked instead of printing an empty version.
    QDir().mkpath(home.file(QStringLiteral("bare")));
    const QString bare = home.file(QStringLiteral("bare/veilport"));
    ASSERT_TRUE(QFile::copy(programFolder() + QStringLiteral("/veilport"), bare));
    QFile::setPermissions(bare, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const RunResult lost = RunTool(bare, {QStringLiteral("--version")}, env, 30000);
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_TRUE(lost.out.isEmpty());
    EXPECT_TRUE(lost.err.contains(QStringLiteral("const.dat"))) << lost.err.toStdString();
}

TEST_F(InstalledTree, ProgramStartedThroughTheSymlinkFindsItsConstantsAndSkins)
{
    testsupport::TempDir home;
    const QProcessEnvironment base = session(home);

    // A distributor's oem.dat beside the program gives this copy a name of its own, so it never
    // meets another test's copies, and points the service at a closed port.
    const QString guid = QUuid::createUuid().toString();
    QByteArray oem = "[const]\nApp.GUID=" + guid.toUtf8() + "\n";
    for (const QByteArray& line : readFile(programFolder() + QStringLiteral("/const.dat")).split('\n'))
        if (line.startsWith("URL."))
            oem += QByteArray(line)
                       .replace("127.0.0.1:18787", "127.0.0.1:1")
                       .replace("127.0.0.1:18788", "127.0.0.1:1")
                       .trimmed() +
                   '\n';
    const QString oemFile = programFolder() + QStringLiteral("/oem.dat");
    home.write(QStringLiteral("oem.dat"), oem);
    ASSERT_TRUE(QFile::copy(home.file(QStringLiteral("oem.dat")), oemFile));
    const auto removeOem = std::shared_ptr<void>(nullptr, [&](void*) { QFile::remove(oemFile); });

    const QStringList skins = FilesIn(programFolder() + QStringLiteral("/skins"), QStringLiteral("*.skn"));
    ASSERT_FALSE(skins.isEmpty());
    const QString skin = QFileInfo(skins.front()).completeBaseName();
    const QByteArray seeded = "[setting]\nSkin=" + skin.toUtf8() + "\n";
    for (const char* folder : {"config/Veilport/Setting.dat", "common/Veilport/Setting.dat"})
        home.write(QString::fromLatin1(folder), seeded);

    QProcessEnvironment env = base;
    env.insert(QStringLiteral("VEILPORT_TRACE_STARTUP"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("veilport.app.info=true"));
    const QString link = usr(QStringLiteral("bin/veilport"));
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(link, {});
    QString trace;
    const auto readTrace = [&] {
        trace += QString::fromLocal8Bit(first.readAllStandardError());
        return trace;
    };
    const auto stopFirst = std::shared_ptr<void>(nullptr, [&](void*) {
        if (first.state() != QProcess::NotRunning) {
            first.kill();
            first.waitForFinished(5000);
        }
    });

    const QString name = QStringLiteral("Global\\") + guid;
    const int appId =
        IniValue(readFile(programFolder() + QStringLiteral("/const.dat")), QStringLiteral("App.ID")).toInt();
    const auto answers = [&] {
        platform::UnixInstanceChannel client;
        return client.send(name, 2135, 0, {}, 3000) == appId;
    };
    ASSERT_TRUE(waitUntil([&] { return answers() && readTrace().contains(kShownMarker); }, 120000))
        << readTrace().toStdString();

    // "--version" ends before looking for the running copy, even with the stop switch beside it.
    const RunResult version = RunTool(link, {QStringLiteral("--version"), QStringLiteral("-s")}, base, 30000);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith(QStringLiteral("Veilport ")));
    EXPECT_TRUE(answers());
    EXPECT_FALSE(readTrace().contains(QStringLiteral("requested"))) << trace.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);

    const RunResult stop = RunTool(link, {QStringLiteral("-s")}, base, 60000);
    EXPECT_EQ(stop.exitCode, 0) << stop.err.toStdString();
    ASSERT_TRUE(waitUntil([&] { return first.state() == QProcess::NotRunning; }, 60000)) << readTrace().toStdString();
    EXPECT_EQ(first.exitCode(), 0) << readTrace().toStdString();
    EXPECT_TRUE(readTrace().contains(QStringLiteral("close requested")));

    // The skin chosen before is kept only when its file was found beside the real executable.
    QStringList used;
    for (const char* folder : {"config/Veilport/Setting.dat", "common/Veilport/Setting.dat"}) {
        const QByteArray text = home.read(QString::fromLatin1(folder));
        if (text == seeded)
            continue;
        used << QString::fromLatin1(folder);
        EXPECT_EQ(IniValue(text, QStringLiteral("Skin")), skin) << folder << "\n" << text.constData();
    }
    // A folder named by App.ConfigPath of const.dat was in use (the per-user one keeps the keys that are
    // never shared even while all users share the other).
    EXPECT_GE(used.size(), 1) << used.join(u',').toStdString();
}
