// The settings store over real files: constants, user settings, don't-show-again flags, the
// all-users choice, and what happens with bad files and folders that cannot be written.
#include "SettingsFixture.h"
#include "config/SettingsError.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

namespace {

mode_t folderMode(const QString& folder)
{
    struct stat st = {};
    ::stat(QFile::encodeName(folder).constData(), &st);
    return st.st_mode & 07777;
}

using SettingsStoreTest = SettingsFixture;

TEST_F(SettingsStoreTest, ConstantsComeFromConstDatAndOemDatWinsEvenWithAnEmptyValue)
{
    m_dir.write("prog/oem.dat", "[CONST]\nurl.HOME=\nApp.SubVer=9\nApp.ID=$10\n");
    TSettings& s = init();
    EXPECT_EQ(s.GetConst("URL.home"), "");
    EXPECT_EQ(s.GetConst("app.configpath"), "Veil Test");
    EXPECT_EQ(s.SubVersion(), 9);
    EXPECT_EQ(s.GetConstInt("App.ID", 0), 16);
    EXPECT_EQ(s.GetConstInt("MainForm.Width", 888), 888);
    EXPECT_EQ(s.GetConstInt("MainForm.Height", 666), 666);
    EXPECT_TRUE(s.GetConstBool("Update.Enable", false));
    EXPECT_FALSE(s.GetConstBool("MainForm.MainMenu", false));
    EXPECT_TRUE(s.GetConstBool("MainForm.MainMenu", true));
    EXPECT_EQ(s.VersionText(), "2.5.0.3 beta");
    EXPECT_EQ(s.VersionCode(), 0x2503);
}

TEST_F(SettingsStoreTest, CreationChoosesNoFolderAndCreatesNothing)
{
    TSettings& s = init();
    EXPECT_EQ(s.SettingsFolder(), "");
    EXPECT_FALSE(s.AllUsers());
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("config")));
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("common")));
    // Only the first InitSettings creates the store.
    TSettings* first = Settings();
    InitSettings(m_dir.path());
    EXPECT_EQ(Settings(), first);
}

struct BadFile
{
    const char* name;
    QByteArray bytes;
};

// Counted by the compiler: a hand-written length once read past the end of the literal.
const char kNulBytes[] = "[const]\0App.SubVer=5\0[setting]\0Language=X\0[Flag]\0AllUsers=0";

const BadFile kBadFiles[] = {
    {"empty", QByteArray()},
    {"binary", QByteArray("\x7f"
                          "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0\x01\0\0\0",
                          24)},
    {"nul bytes", QByteArray::fromRawData(kNulBytes, sizeof(kNulBytes) - 1)},
    {"very long line", QByteArray(3 * 1024 * 1024, '[')},
    {"cr only, no final newline", QByteArray("\r\r[junk\r=\r;\r")},
    {"invalid utf-8", QByteArray("\xff\xfe[\xc0]\r\n\xe9=\xe9\r\n")},
};

class BadFileTest : public SettingsFixture, public ::testing::WithParamInterface<BadFile>
{
};

TEST_P(BadFileTest, BadConstantFilesGiveEmptyConstantsAndDefaults)
{
    m_dir.write("prog/const.dat", GetParam().bytes);
    m_dir.write("prog/oem.dat", GetParam().bytes);
    TSettings& s = init();
    EXPECT_EQ(s.GetConst("App.ConfigPath"), "");
    EXPECT_EQ(s.GetConstInt("MainForm.Width", 888), 888);
    EXPECT_EQ(s.VersionCode(), 0);
    EXPECT_EQ(s.SubVersion(), 0);
    // Without a sub-folder the data lies directly in the desktop's folder.
    EXPECT_EQ(s.UserFolder(), m_dir.file("config/"));
}

TEST_P(BadFileTest, BadSettingAndFlagFilesGiveDefaultsAndStayWritable)
{
    m_dir.write("config/Veil Test/Setting.dat", GetParam().bytes);
    m_dir.write("config/Veil Test/UserFlag.ini", GetParam().bytes);
    TSettings& s = init();
    EXPECT_FALSE(s.HasAllUsersFlag());
    EXPECT_TRUE(s.ReadAllUsersFlag());
    s.OpenSettingsFile(false);
    EXPECT_EQ(s.ReadString("Language", "English"), "English");
    EXPECT_TRUE(s.ReadBool("IE", true));
    EXPECT_TRUE(s.ReadShowAgain(30));
    s.WriteString("Language", "German");
    s.WriteAllUsersFlag(false);
    TSettings& again = restart();
    EXPECT_FALSE(again.ReadAllUsersFlag());
    again.OpenSettingsFile(false);
    EXPECT_EQ(again.ReadString("Language", "English"), "German");
}

INSTANTIATE_TEST_SUITE_P(Files, BadFileTest, ::testing::ValuesIn(kBadFiles), [](const auto& info) {
    QString name = QString::fromLatin1(info.param.name);
    name.replace(QRegularExpression("[^A-Za-z0-9]"), "_");
    return name.toStdString();
});

TEST_F(SettingsStoreTest, BeforeOpeningReadsGiveDefaultsAndWritesChangeNothing)
{
    const QByteArray stored("[setting]\r\nLanguage=German\r\n[ShowAgain]\r\n30=0\r\n");
    m_dir.write("config/Veil Test/Setting.dat", stored);
    TSettings& s = init();
    EXPECT_EQ(s.ReadString("Language", "English"), "English");
    EXPECT_TRUE(s.ReadShowAgain(30));
    EXPECT_EQ(s.ReadShowAgainResult(30), 1);
    s.WriteString("Language", "French");
    s.WriteBool("IE", false);
    s.WriteShowAgain(31, false);
    s.WriteShowAgainResult(31, 6);
    s.ClearShowAgainFlags();
    EXPECT_EQ(m_dir.read("config/Veil Test/Setting.dat"), stored);

    s.OpenSettingsFile(false);
    EXPECT_EQ(s.ReadString("Language", "English"), "German");
    EXPECT_FALSE(s.ReadShowAgain(30));
}

TEST_F(SettingsStoreTest, OpeningAFreshFolderCreatesAPrivateFolderAndABlankFile)
{
    TSettings& s = init();
    s.OpenSettingsFile(false);
    EXPECT_EQ(s.SettingsFolder(), canonical(userFolder()));
    EXPECT_FALSE(s.AllUsers());
    EXPECT_EQ(m_dir.read("config/Veil Test/Setting.dat"), QByteArray(" \r\n"));
    EXPECT_EQ(folderMode(userFolder()), 0700u);

    TSettings& again = restart();
    again.OpenSettingsFile(false);
    EXPECT_EQ(again.ReadString("Language", "English"), "English");
    EXPECT_EQ(m_dir.read("config/Veil Test/Setting.dat"), QByteArray(" \r\n"));
}

TEST_F(SettingsStoreTest, EveryWriteIsSavedAtOnceInTheOrderOfFirstCreation)
{
    TSettings& s = init();
    s.OpenSettingsFile(false);
    s.WriteString("Language", "French");
    s.WriteBool("IE", false);
    s.WriteInteger("MainForm.Left", -100);
    s.WriteString("LANGUAGE", "Dutch");
    s.WriteShowAgain(41, false);
    s.WriteBool("ChangeIP", true);
    EXPECT_EQ(m_dir.read("config/Veil Test/Setting.dat"), QByteArray(" \r\n"
                                                                     "[setting]\r\n"
                                                                     "Language=Dutch\r\n"
                                                                     "IE=0\r\n"
                                                                     "MainForm.Left=-100\r\n"
                                                                     "ChangeIP=1\r\n"
                                                                     "\r\n"
                                                                     "[ShowAgain]\r\n"
                                                                     "41=0\r\n"));
    TSettings& again = restart();
    again.OpenSettingsFile(false);
    EXPECT_EQ(again.ReadString("language", ""), "Dutch");
    EXPECT_FALSE(again.ReadBool("IE", true));
    EXPECT_EQ(again.ReadInteger("MainForm.Left", 0), -100);
    EXPECT_TRUE(again.ReadBool("ChangeIP", false));
}

TEST_F(SettingsStoreTest, NumbersAndBooleansThatDoNotParseGiveTheDefault)
{
    m_dir.write("config/Veil Test/Setting.dat", "[Setting]\r\n"
                                                "ChangeIPTime=ten\r\n"
                                                "IE=2\r\n"
                                                "FF=yes\r\n"
                                                "OPERA=0\r\n"
                                                "LastUpdateDate= 42 \r\n");
    TSettings& s = init();
    s.OpenSettingsFile(false);
    EXPECT_EQ(s.ReadInteger("ChangeIPTime", 10), 10);
    EXPECT_EQ(s.ReadString("ChangeIPTime", "10"), "ten");
    EXPECT_TRUE(s.ReadBool("IE", false));
    EXPECT_FALSE(s.ReadBool("FF", false));
    EXPECT_TRUE(s.ReadBool("FF", true));
    EXPECT_FALSE(s.ReadBool("OPERA", true));
    EXPECT_EQ(s.ReadInteger("LastUpdateDate", 0), 42);
    EXPECT_EQ(s.ReadInteger("Missing", -100), -100);
}

TEST_F(SettingsStoreTest, ClearingShowAgainFlagsBringsMessagesBackAndKeepsSettings)
{
    TSettings& s = init();
    s.OpenSettingsFile(false);
    s.WriteString("Skin", "Blue");
    s.WriteShowAgain(30, false);
    s.WriteShowAgainResult(30, 6);
    s.WriteShowAgain(41, false);
    EXPECT_FALSE(s.ReadShowAgain(30));
    EXPECT_FALSE(s.ReadShowAgain(41));
    EXPECT_TRUE(s.ReadShowAgain(31));
    EXPECT_EQ(s.ReadShowAgainResult(30), 6);
    EXPECT_EQ(s.ReadShowAgainResult(41), 1);

    s.ClearShowAgainFlags();
    EXPECT_TRUE(s.ReadShowAgain(30));
    EXPECT_TRUE(s.ReadShowAgain(41));
    EXPECT_EQ(s.ReadShowAgainResult(30), 1);
    TIniFile saved;
    ASSERT_TRUE(saved.LoadFromFile(userFolder() + "Setting.dat"));
    EXPECT_EQ(saved.ReadSections(), QStringList{"setting"});
    EXPECT_EQ(saved.ReadString("setting", "Skin", ""), "Blue");
}

TEST_F(SettingsStoreTest, AllUsersChoiceIsKeptInTheUserFlagFile)
{
    TSettings& s = init();
    EXPECT_FALSE(s.HasAllUsersFlag());
    EXPECT_TRUE(s.ReadAllUsersFlag());
    EXPECT_EQ(folderMode(userFolder()), 0700u);
    EXPECT_FALSE(QFileInfo::exists(userFolder() + "UserFlag.ini"));

    s.WriteAllUsersFlag(false);
    EXPECT_TRUE(s.HasAllUsersFlag());
    EXPECT_FALSE(s.ReadAllUsersFlag());
    EXPECT_EQ(m_dir.read("config/Veil Test/UserFlag.ini"), QByteArray("[Flag]\r\nAllUsers=0\r\n"));
    // The file is read on every call, so a change by another copy is seen at once.
    m_dir.write("config/Veil Test/UserFlag.ini", "[flag]\nallusers=1\n");
    EXPECT_TRUE(s.ReadAllUsersFlag());
    m_dir.write("config/Veil Test/UserFlag.ini", "[Flag]\nAllUsers=maybe\n");
    EXPECT_TRUE(s.HasAllUsersFlag());
    EXPECT_TRUE(s.ReadAllUsersFlag());
}

TEST_F(SettingsStoreTest, AllUsersSettingsLiveInTheCommonFolder)
{
    TSettings& s = init();
    EXPECT_TRUE(s.CanWriteCommonFolder());
    s.OpenSettingsFile(true);
    EXPECT_TRUE(s.AllUsers());
    EXPECT_EQ(s.SettingsFolder(), canonical(commonFolder()));
    s.WriteString("Language", "German");
    EXPECT_TRUE(QFileInfo::exists(commonFolder() + "Setting.dat"));
    EXPECT_FALSE(QFileInfo::exists(userFolder() + "Setting.dat"));
}

TEST_F(SettingsStoreTest, FoldersThatCannotBeCreatedGiveDefaultsAndErrorsNamingTheFile)
{
    // A regular file where a parent folder should be: nobody, not even root, can create below it.
    m_dir.write("blocked", "a file");
    testsupport::ScopedEnv user("XDG_CONFIG_HOME", m_dir.file("blocked/config").toUtf8());
    testsupport::ScopedEnv common("VEILPORT_COMMON_DATA_DIR", m_dir.file("blocked/common").toUtf8());
    TSettings& s = init();
    EXPECT_FALSE(s.CanWriteCommonFolder());
    EXPECT_FALSE(s.HasAllUsersFlag());
    EXPECT_TRUE(s.ReadAllUsersFlag());
    try {
        s.WriteAllUsersFlag(true);
        ADD_FAILURE() << "no error for an unwritable flag file";
    } catch (const ESettingsError& e) {
        EXPECT_NE(QString(e.what()).indexOf(m_dir.file("blocked/config/Veil Test/UserFlag.ini")), -1) << e.what();
    }
    try {
        s.OpenSettingsFile(false);
        ADD_FAILURE() << "no error for an unwritable settings file";
    } catch (const ESettingsError& e) {
        EXPECT_NE(QString(e.what()).indexOf("Setting.dat"), -1) << e.what();
    }
    // The store stays usable: reads give defaults, writes go nowhere.
    EXPECT_EQ(s.ReadString("Language", "English"), "English");
}

TEST_F(SettingsStoreTest, AWriteThatCannotBeSavedRaisesAnErrorAndLeavesNoTemporaryFile)
{
    TSettings& s = init();
    s.OpenSettingsFile(false);
    s.WriteString("Language", "German");
    // Replace the settings file by a folder: the rename of the new content over it must fail.
    const QString file = userFolder() + "Setting.dat";
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(QDir().mkdir(file));
    EXPECT_THROW(s.WriteString("Language", "French"), ESettingsError);
    EXPECT_THROW(s.ClearShowAgainFlags(), ESettingsError);
    ASSERT_TRUE(QDir().rmdir(file));
    EXPECT_EQ(QDir(userFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{}) << "temporary files left";
}

TEST_F(SettingsStoreTest, OpeningRemovesTemporaryFilesOfAnInterruptedSave)
{
    m_dir.write("config/Veil Test/Setting.dat", "[setting]\r\nSkin=Blue\r\n");
    m_dir.write("config/Veil Test/Setting.dat.tmp.a1B2c3", "[setting]\r\nSki");
    m_dir.write("config/Veil Test/proxylist.lst", "kept");
    TSettings& s = init();
    s.OpenSettingsFile(false);
    EXPECT_EQ(s.ReadString("Skin", ""), "Blue");
    QStringList files = QDir(userFolder()).entryList(QDir::Files | QDir::Hidden);
    files.sort();
    EXPECT_EQ(files, (QStringList{"Setting.dat", "proxylist.lst"}));
}

} // namespace
