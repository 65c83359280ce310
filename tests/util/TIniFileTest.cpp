// The INI document, for the program's own files and for those of Opera and KDE: reading rules,
// preservation of everything it does not understand, and resistance to garbage.
#include "util/TIniFile.h"
#include "support/TempDir.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>

using testsupport::TempDir;

namespace {

TIniFile parse(const QByteArray& bytes)
{
    TIniFile ini;
    ini.LoadFromBytes(bytes);
    return ini;
}

TEST(TIniFileTest, ReadsNamesWithoutCaseAndTrimsNamesAndValues)
{
    const TIniFile ini = parse("; comment=ignored\r\n"
                               "orphan=before any section\r\n"
                               "[ Const ]\r\n"
                               "  App.Ver =  1.2.3.4  \r\n"
                               "\tTabbed\t=\tv\t\r\n"
                               "Empty=\r\n"
                               "no equals sign\r\n"
                               ";Hidden=1\r\n"
                               "#httpProxy=commented out\r\n"
                               "=no name\r\n"
                               "Twice=first\r\n"
                               "twice=second\r\n"
                               "Eq=a=b\r\n"
                               "Quoted=\"kept\"\r\n");
    EXPECT_EQ(ini.ReadString("const", "app.ver", "d"), "1.2.3.4");
    EXPECT_EQ(ini.ReadString("CONST", "TABBED", "d"), "v");
    EXPECT_TRUE(ini.ValueExists("const", "Empty"));
    EXPECT_EQ(ini.ReadString("const", "Empty", "d"), "");
    EXPECT_FALSE(ini.ValueExists("const", "no equals sign"));
    EXPECT_FALSE(ini.ValueExists("const", ";Hidden"));
    EXPECT_FALSE(ini.ValueExists("const", "Hidden"));
    EXPECT_FALSE(ini.ValueExists("const", "#httpProxy"));
    EXPECT_EQ(ini.ReadString("const", "Twice", "d"), "first");
    EXPECT_EQ(ini.ReadString("const", "Eq", "d"), "a=b");
    EXPECT_EQ(ini.ReadString("const", "Quoted", "d"), "\"kept\"");
    EXPECT_EQ(ini.ReadString("const", "Missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("other", "App.Ver", "d"), "d");
    EXPECT_EQ(ini.ReadSections(), QStringList{"Const"});
    EXPECT_EQ(ini.ReadSection("const"), (QStringList{"App.Ver", "Tabbed", "Empty", "Twice", "Eq", "Quoted"}));
}

TEST(TIniFileTest, AcceptsEveryKindOfLineBreakAndAMissingLastOne)
{
    for (const QByteArray& bytes : {QByteArray("[s]\rA=1\rB=2"), QByteArray("[s]\nA=1\nB=2"),
                                    QByteArray("[s]\r\nA=1\r\nB=2"), QByteArray("[s]\r\nA=1\nB=2\r")}) {
        const TIniFile ini = parse(bytes);
        EXPECT_EQ(ini.ReadString("s", "A", ""), "1") << bytes.constData();
        EXPECT_EQ(ini.ReadString("s", "B", ""), "2") << bytes.constData();
    }
}

TEST(TIniFileTest, WritesFollowTheFilesLineBreaksAndNeverRunIntoAnOpenLastLine)
{
    TIniFile windows = parse("[Proxy]\r\nUse HTTP=0\r\n");
    windows.WriteString("Proxy", "Use HTTP", "1");
    windows.WriteString("Proxy", "HTTP server", "h:1");
    EXPECT_EQ(windows.ToBytes(), QByteArray("[Proxy]\r\nUse HTTP=1\r\nHTTP server=h:1\r\n"));

    // A file whose first break is a lone CR: new lines take it, and the empty line after them stays.
    TIniFile mac = parse("[Proxy]\rA=1\r\n\n[Other]\r\n");
    mac.WriteString("Proxy", "B", "2");
    EXPECT_EQ(mac.ToBytes(), QByteArray("[Proxy]\rA=1\r\nB=2\r\n\n[Other]\r\n"));

    // A last line without a break keeps it missing until a line follows it.
    TIniFile open = parse("[Other]\nA=1");
    EXPECT_EQ(open.ToBytes(), QByteArray("[Other]\nA=1"));
    open.WriteString("Other", "A", "2");
    EXPECT_EQ(open.ToBytes(), QByteArray("[Other]\nA=2"));
    open.WriteString("Proxy", "Use HTTP", "0");
    EXPECT_EQ(open.ToBytes(), QByteArray("[Other]\nA=2\n\n[Proxy]\nUse HTTP=0\n"));

    // A new document takes the break its owner asks for: LF for a desktop program's file.
    TIniFile kde(TIniFile::LineBreak::Lf);
    kde.LoadFromBytes(QByteArray());
    kde.WriteString("Proxy Settings", "ProxyType", "1");
    EXPECT_EQ(kde.ToBytes(), QByteArray("[Proxy Settings]\nProxyType=1\n"));
}

TEST(TIniFileTest, SavingKeepsUnknownLinesLineBreaksAndBytes)
{
    const QByteArray original("\xef\xbb\xbfOpera Preferences version 2.1\n"
                              "; a comment\n"
                              "\n"
                              "[User Prefs]\n"
                              "Name = caf\xe9 \xff\xfe\n"
                              "junk line without equals\n"
                              "\n"
                              "[Proxy]\n"
                              "Use HTTP=0\n");
    TIniFile ini = parse(original);
    EXPECT_EQ(ini.ToBytes(), original);

    ini.WriteString("proxy", "use http", "1");
    ini.WriteString("Proxy", "HTTP server", "127.0.0.1:8080");
    ini.WriteString("User Prefs", "New", "x");
    EXPECT_EQ(ini.ToBytes(), QByteArray("\xef\xbb\xbfOpera Preferences version 2.1\n"
                                        "; a comment\n"
                                        "\n"
                                        "[User Prefs]\n"
                                        "Name = caf\xe9 \xff\xfe\n"
                                        "junk line without equals\n"
                                        "New=x\n"
                                        "\n"
                                        "[Proxy]\n"
                                        "Use HTTP=1\n"
                                        "HTTP server=127.0.0.1:8080\n"));
}

TEST(TIniFileTest, ALineBreakInAValueCannotAddKeysOrSections)
{
    TIniFile ini;
    ini.WriteString("setting", "Language", "English\r\n[setting]\nIE=0\rFF=0");
    const TIniFile reread = parse(ini.ToBytes());
    EXPECT_EQ(reread.ReadSection("setting"), QStringList{"Language"});
    EXPECT_EQ(reread.ReadSections(), QStringList{"setting"});
    EXPECT_EQ(reread.ReadString("setting", "Language", ""), "English  [setting] IE=0 FF=0");
}

TEST(TIniFileTest, EraseAndDeleteRemoveOnlyWhatWasNamed)
{
    TIniFile ini = parse("[a]\r\nk=1\r\nj=2\r\n\r\n[b]\r\nk=1\r\n[A]\r\nm=3\r\n");
    ini.DeleteKey("A", "K");
    ini.DeleteKey("missing", "k");
    EXPECT_EQ(ini.ReadSection("a"), QStringList{"j"});
    ini.EraseSection("a");
    EXPECT_EQ(ini.ReadSections(), QStringList{"b"});
    EXPECT_EQ(ini.ToBytes(), QByteArray("[b]\r\nk=1\r\n"));
}

TEST(TIniFileTest, FilesLoadAndSave)
{
    TempDir dir;
    TIniFile ini;
    EXPECT_FALSE(ini.LoadFromFile(dir.file("missing.ini")));
    EXPECT_TRUE(ini.ReadSections().isEmpty());
    ini.WriteString("s", "k", "v");
    ASSERT_TRUE(ini.SaveToFile(dir.file("out.ini")));
    TIniFile again;
    ASSERT_TRUE(again.LoadFromFile(dir.file("out.ini")));
    EXPECT_EQ(again.ReadString("s", "k", ""), "v");
    EXPECT_FALSE(ini.SaveToFile(dir.file("missing/out.ini")));
    // Neither a folder nor a pipe in a file's place is read (a pipe would block forever).
    EXPECT_FALSE(again.LoadFromFile(dir.path()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.file("pipe.ini")).constData(), 0600), 0);
    EXPECT_FALSE(again.LoadFromFile(dir.file("pipe.ini")));
    EXPECT_TRUE(again.ReadSections().isEmpty());

    // A link is refused and replaced unless the caller follows it (a file in the user's own
    // folders, such as a kioslaverc kept with the user's dotfiles): then its target is read and
    // written, and the link stays.
    const QString target = dir.write("dotfiles/kioslaverc", "[Proxy Settings]\nProxyType=0\n");
    const QString link = dir.file("kioslaverc");
    ASSERT_TRUE(QFile::link(target, link));
    EXPECT_FALSE(again.LoadFromFile(link));
    ASSERT_TRUE(again.LoadFromFile(link, true));
    again.WriteString("Proxy Settings", "ProxyType", "1");
    ASSERT_TRUE(again.SaveToFile(link, true));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(dir.read("dotfiles/kioslaverc"), QByteArray("[Proxy Settings]\nProxyType=1\n"));
    ASSERT_TRUE(again.SaveToFile(link));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST(TIniFileTest, GarbageNeverCrashesAndRoundTripsExactly)
{
    std::mt19937 random(20261209);
    std::vector<QByteArray> inputs = {
        QByteArray(),
        QByteArray("\0\0\0[const]\0=\0", 13),
        QByteArray("[unclosed\r\nA=1\r\n[]\r\n=\r\n[[x]]\r\nB=2"),
        QByteArray(2 * 1024 * 1024, 'x') + "=1\n[s]\nk=" + QByteArray(1024 * 1024, 'v'),
        QByteArray(1000, '\r') + QByteArray(1000, '\n'),
        QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
    };
    for (int i = 0; i < 200; ++i) {
        QByteArray bytes(int(random() % 4096), '\0');
        for (char& c : bytes)
            c = char(random() % 256);
        inputs.push_back(bytes);
    }
    for (const QByteArray& bytes : inputs) {
        TIniFile ini = parse(bytes);
        ASSERT_EQ(ini.ToBytes(), bytes);
        ini.WriteString("setting", "Key", "value");
        EXPECT_EQ(parse(ini.ToBytes()).ReadString("setting", "key", ""), "value");
    }
}

} // namespace
