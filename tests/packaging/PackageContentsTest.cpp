// The Debian package built from the build tree with CPack: what it holds and what it depends on.
#include "PackagingTools.h"
#include "support/TempDir.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <gtest/gtest.h>

using namespace packaging;

TEST(DebianPackage, HoldsTheInstalledTreeAndDependsOnTheLibrariesItLinks)
{
    if (!QFileInfo(BuildDir() + QStringLiteral("/bin/veilport")).isExecutable())
        GTEST_SKIP() << "the veilport executable is not built";
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("dpkg-shlibdeps")).isEmpty())
        << "dpkg-dev is missing (scripts/setup installs it)";

    testsupport::TempDir out;
    const RunResult cpack = RunTool(QStringLiteral(VEILPORT_CPACK_COMMAND),
                                    {QStringLiteral("--config"), BuildDir() + QStringLiteral("/CPackConfig.cmake"),
                                     QStringLiteral("-B"), out.path()},
                                    QProcessEnvironment::systemEnvironment(), 240000);
    ASSERT_TRUE(cpack.finished && cpack.exitCode == 0) << cpack.out.toStdString() << cpack.err.toStdString();
    const QStringList debs = FilesIn(out.path(), QStringLiteral("veilport_*.deb"));
    ASSERT_EQ(debs.size(), 1) << cpack.out.toStdString();
    const QString deb = out.file(debs.front());

    const RunResult listing = RunTool(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), deb});
    ASSERT_EQ(listing.exitCode, 0) << listing.err.toStdString();
    QStringList entries;
    for (const QString& line : listing.out.split(u'\n', Qt::SkipEmptyParts)) {
        // "perms owner size date time ./path[ -> target]"
        const qsizetype at = line.indexOf(QStringLiteral(" ./"));
        ASSERT_GE(at, 0) << line.toStdString();
        entries << line.mid(at + 1);
    }
    // Every path lives below /usr: nothing of the build machine or the configure-time prefix.
    for (const QString& entry : entries)
        EXPECT_TRUE(entry == QStringLiteral("./") || entry.startsWith(QStringLiteral("./usr/"))) << entry.toStdString();

    QStringList expected = {
        QStringLiteral("./usr/bin/veilport -> ../lib/veilport/veilport"),
        QStringLiteral("./usr/lib/veilport/veilport"),
        QStringLiteral("./usr/lib/veilport/const.dat"),
        QStringLiteral("./usr/lib/veilport/evport.xpi"),
        QStringLiteral("./usr/lib/veilport/veilport-companion-host"),
        QStringLiteral("./usr/lib/veilport/veilport-infopage"),
        QStringLiteral("./usr/lib/veilport/companion-chromium/manifest.json"),
        QStringLiteral("./usr/lib/veilport/res/temp.html"),
        QStringLiteral("./usr/bin/veilport-listservice"),
        QStringLiteral("./usr/lib/systemd/system/veilport-listservice.service"),
        QStringLiteral("./usr/share/applications/org.veilport.Veilport.desktop"),
        QStringLiteral("./usr/share/metainfo/org.veilport.Veilport.metainfo.xml"),
        QStringLiteral("./usr/share/icons/hicolor/scalable/apps/org.veilport.Veilport.svg"),
        QStringLiteral("./usr/share/icons/hicolor/48x48/apps/org.veilport.Veilport.png"),
        QStringLiteral("./usr/share/man/man1/veilport.1.gz"),
        QStringLiteral("./usr/share/man/man1/veilport-listservice.1.gz"),
        QStringLiteral("./usr/share/doc/veilport/copyright"),
        QStringLiteral("./usr/share/doc/veilport/changelog.gz"),
    };
    for (const QString& language : FilesIn(SourceDir() + QStringLiteral("/data/langs"), QStringLiteral("*.lan")))
        expected << QStringLiteral("./usr/lib/veilport/langs/") + language;
    for (const QString& skin : FilesIn(BuildDir() + QStringLiteral("/bin/skins"), QStringLiteral("*.skn")))
        expected << QStringLiteral("./usr/lib/veilport/skins/") + skin;
    for (const QString& path : expected)
        EXPECT_TRUE(entries.contains(path)) << path.toStdString() << " is missing from\n" << listing.out.toStdString();

    // dpkg-shlibdeps filled Depends from the libraries the binaries link.
    const RunResult depends =
        RunTool(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb, QStringLiteral("Depends")});
    ASSERT_EQ(depends.exitCode, 0);
    for (const char* package : {"libc6 (>=", "libqt6core6", "libqt6widgets6", "libqt6webenginewidgets6", "libcurl4"})
        EXPECT_TRUE(depends.out.contains(QString::fromLatin1(package)))
            << package << " not in " << depends.out.toStdString();
}
