// The engine's choice of language: SetLanguage with present and missing files, the language list
// with its testver marks, message keys and the built-in English data.
#include "i18n/TLanguageEngine.h"
#include "i18n/TspAceMultiLang.h"
#include "support/TempDir.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

class LanguageEngine : public ::testing::Test
{
protected:
    testsupport::TempDir dir;
    QStringList stored;
    TLanguageEngine engine{nullptr, dir.path(), [this](const QString& n, const QString& v) { stored << n + "=" + v; }};

    void writeLanguage(const QString& name, const QByteArray& text) { dir.write("langs/" + name + ".lan", text); }
};

} // namespace

TEST_F(LanguageEngine, BuiltInEnglishHoldsTheWindowTextsButNoMessages)
{
    EXPECT_EQ(engine.LangText("MSGBOX_LastVersionAlready"), "MSGBOX_LastVersionAlready");
    EXPECT_EQ(engine.LangText("strAppName"), "strAppName");
    QString text;
    ASSERT_TRUE(engine.smdCurrent()->FindText("TfrmMainForm", "acCheckIP", "Caption", text));
    EXPECT_EQ(text, "&Check IP");
}

TEST_F(LanguageEngine, SetLanguageLoadsTheFileAndStoresTheName)
{
    writeLanguage("Deutsch", "[Info]\nLanguage=Deutsch\nTranslator=Anna\n[ResString]\nstrAppName=Veilport DE\n"
                             "EMPTY=\n");
    QSignalSpy changed(engine.smLanguage(), &TspAceMultiLang::OnChangeLanguage);
    engine.SetLanguage("Deutsch");
    EXPECT_EQ(engine.CurrentLanguage(), "Deutsch");
    EXPECT_EQ(stored, QStringList{"Language=Deutsch"});
    EXPECT_EQ(engine.LangText("strAppName"), "Veilport DE");
    EXPECT_EQ(engine.LangText("EMPTY"), "");
    EXPECT_EQ(engine.LangText("Your cookies have been cleared"), "Your cookies have been cleared");
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(LanguageEngine, MissingFileChangesNoTextButStoresTheName)
{
    writeLanguage("Deutsch", "[ResString]\nstrAppName=Veilport DE\n");
    engine.SetLanguage("Deutsch");
    QSignalSpy changed(engine.smLanguage(), &TspAceMultiLang::OnChangeLanguage);
    engine.SetLanguage("Klingon");
    EXPECT_EQ(engine.CurrentLanguage(), "Klingon");
    EXPECT_EQ(stored.last(), "Language=Klingon");
    EXPECT_EQ(engine.LangText("strAppName"), "Veilport DE");
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(LanguageEngine, LanguageListIsSortedWithoutCaseAndCarriesTestMarks)
{
    writeLanguage("English", "[info]\ntestver=beta\n");
    writeLanguage("deutsch", "[Info]\nLanguage=Deutsch\n");
    writeLanguage("Zulu", "[INFO]\nTESTVER=<SP>\n");
    dir.write("langs/readme.txt", "not a language");
    QStringList names, displayNames;
    EXPECT_EQ(engine.GetLanguageList(names, displayNames), 3);
    EXPECT_EQ(names, (QStringList{"deutsch", "English", "Zulu"}));
    EXPECT_EQ(displayNames, (QStringList{"deutsch", "English (beta)", "Zulu ( )"}));

    testsupport::TempDir empty;
    TLanguageEngine none(nullptr, empty.path(), {});
    EXPECT_EQ(none.GetLanguageList(names, displayNames), 0);
    EXPECT_TRUE(names.isEmpty());
    EXPECT_TRUE(displayNames.isEmpty());
}

TEST_F(LanguageEngine, LangStringsPutsCurrentOverDefault)
{
    engine.smdDefault()->SetData("[skinres]\nA=default a\nB=default b\n");
    writeLanguage("X", "[skinres]\nB=current b\nA=\n");
    engine.SetLanguage("X");
    QStringList list;
    engine.LangStrings("skinres", list);
    EXPECT_EQ(list, QStringList{"B=current b"});
}
