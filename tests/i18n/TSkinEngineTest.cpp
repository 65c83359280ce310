// Choosing skins: files beside the program, the built-in skin, what is stored, and the skin texts.
#include "i18n/TLanguageEngine.h"
#include "i18n/TSkinEngine.h"
#include "i18n/TSkinFile.h"
#include "support/TempDir.h"

#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

QByteArray skinBytes(const QString& style)
{
    TSkinFile skin;
    skin.styleSheet = style;
    return skin.Encode();
}

class SkinEngine : public ::testing::Test
{
protected:
    testsupport::TempDir dir;
    QStringList stored;
    TSkinEngine engine{dir.path(), [this](const QString& n, const QString& v) { stored << n + "=" + v; }};

    void writeSkin(const QString& name, const QByteArray& bytes) { dir.write("skins/" + name + ".skn", bytes); }
};

} // namespace

TEST_F(SkinEngine, BuiltInSkinIsCompiledInAndShownFromTheStart)
{
    TSkinFile builtin;
    ASSERT_TRUE(TSkinFile::Decode(TSkinEngine::BuiltinSkinData(), builtin));
    EXPECT_EQ(engine.StyleSheet(), builtin.styleSheet);
    EXPECT_TRUE(engine.GetCurrentSkin().isEmpty());
}

TEST_F(SkinEngine, UnknownNameShowsBuiltInSkinAndStoresEmpty)
{
    writeSkin("Blue", skinBytes("QWidget { background: blue; }"));
    engine.SetSkin("Blue");
    const QString builtin = TSkinEngine(dir.path(), {}).StyleSheet();
    engine.SetSkin("&Default");
    EXPECT_TRUE(engine.GetCurrentSkin().isEmpty());
    EXPECT_EQ(engine.StyleSheet(), builtin);
    EXPECT_EQ(stored.last(), "Skin=");
}

TEST_F(SkinEngine, SkinListIsSortedWithoutDefaultAndKeepsDots)
{
    writeSkin("Blue", skinBytes("a{}"));
    writeSkin("aqua", skinBytes("a{}"));
    writeSkin("DEFAULT", skinBytes("a{}"));
    writeSkin("Ocean.Blue", skinBytes("QWidget { color: navy; }"));
    dir.write("skins/notes.txt", "x");
    QStringList list;
    EXPECT_EQ(engine.GetSkinList(list), 3);
    EXPECT_EQ(list, (QStringList{"aqua", "Blue", "Ocean.Blue"}));
    engine.SetSkin("Ocean.Blue");
    EXPECT_EQ(engine.StyleSheet(), "QWidget { color: navy; }");
}

TEST_F(SkinEngine, DefaultFileIsShownOnAFirstStartThoughNeverListed)
{
    writeSkin("Default", skinBytes("QWidget { color: green; }"));
    engine.SetSkin("Default"); // the stored setting's default
    EXPECT_EQ(engine.GetCurrentSkin(), "Default");
    EXPECT_EQ(engine.StyleSheet(), "QWidget { color: green; }");
}

TEST_F(SkinEngine, SkinImagesAreUnpackedAndReferencedByFile)
{
    TSkinFile skin;
    skin.styleSheet = "QCheckBox::indicator { image: url(skin:tick.png); }";
    skin.images = {{"tick.png", QByteArray("PNGDATA")}};
    writeSkin("Pics", skin.Encode());
    engine.SetSkin("Pics");
    const QString style = engine.StyleSheet();
    ASSERT_FALSE(style.contains("skin:"));
    const qsizetype start = style.indexOf("url(") + 4;
    const QString file = style.mid(start, style.indexOf(')', start) - start);
    QFile image(file);
    ASSERT_TRUE(image.open(QIODevice::ReadOnly)) << file.toStdString();
    EXPECT_EQ(image.readAll(), "PNGDATA");
    image.close();
    engine.SetSkin("");
    EXPECT_FALSE(QFile::exists(file)) << "the images go with their skin";
}

TEST_F(SkinEngine, LanguageSkinTextsReplaceTheLibraryTexts)
{
    EXPECT_EQ(engine.ResourceString("MSG_BTN_YES"), "&Yes");
    EXPECT_EQ(engine.ResStrings().size(), 118);
    testsupport::TempDir langDir;
    langDir.write("langs/Deutsch.lan", "[skinres]\nMSG_BTN_YES=&Ja\nMSG_BTN_NO=\n");
    TLanguageEngine language(nullptr, langDir.path(), {});
    language.SetLanguage("Deutsch");
    QSignalSpy changed(&engine, &TSkinEngine::ResourceStringsChanged);
    engine.TakeLanguageTexts(language);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(engine.ResourceString("MSG_BTN_YES"), "&Ja");
    EXPECT_EQ(engine.ResourceString("MSG_BTN_NO"), "&No") << "a removed text falls back to the library's own";
    EXPECT_EQ(engine.ResStrings().size(), 117);
}
