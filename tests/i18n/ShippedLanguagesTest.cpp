// The language files and skins that ship with the program: complete, consistent and readable.
#include "i18n/BuiltinLanguage.h"
#include "i18n/MessageTexts.h"
#include "i18n/TSkinEngine.h"
#include "i18n/TSkinFile.h"
#include "i18n/TspAceMultiLangData.h"
#include "i18n/TspResourceStrData.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <memory>

#include <gtest/gtest.h>

namespace {

QString sourceDir()
{
    return qEnvironmentVariable("VEILPORT_SOURCE_DIR", QStringLiteral(VEILPORT_TEST_SOURCE_DIR));
}

QString binDir()
{
    return qEnvironmentVariable("VEILPORT_BIN_DIR", QStringLiteral(VEILPORT_TEST_BIN_DIR));
}

std::unique_ptr<TspAceMultiLangData> load(const QString& name)
{
    auto data = std::make_unique<TspAceMultiLangData>();
    data->LoadLanguageFile(sourceDir() + "/data/langs/" + name + ".lan");
    return data;
}

QStringList sectionsOf(const QByteArray& text)
{
    QStringList sections;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray t = line.trimmed();
        if (t.startsWith('[') && t.endsWith(']'))
            sections << QString::fromUtf8(t.mid(1, t.size() - 2));
    }
    return sections;
}

} // namespace

TEST(ShippedLanguages, EnglishAndGermanCoverTheSameKeysAndEveryMessage)
{
    const auto english = load("English");
    const auto german = load("Deutsch");
    ASSERT_FALSE(english->Data().isEmpty());
    ASSERT_FALSE(german->Data().isEmpty());
    EXPECT_EQ(english->Language(), "English");
    EXPECT_EQ(german->Language(), "Deutsch");

    // The keys among the texts the program asks for (strAppName, MSGBOX_...); its sentences, however short, are
    // shown as they are until translated.
    for (const QString& key : KnownMessageTexts().filter(QRegularExpression("^(str|[A-Z]+_)\\w+$"))) {
        QString en, de;
        EXPECT_TRUE(english->FindText("ResString", "", key, en)) << key.toStdString();
        EXPECT_TRUE(german->FindText("ResString", "", key, de)) << key.toStdString();
        EXPECT_FALSE(en.isEmpty()) << key.toStdString();
        if (key != "strAppName") {
            EXPECT_NE(en, de) << key.toStdString() << " is not translated";
        }
    }
    EXPECT_EQ(sectionsOf(english->Data()), sectionsOf(german->Data()));
    for (const QString& section : sectionsOf(english->Data())) {
        if (section == "ResString")
            continue; // German also translates the sentences the code passes in English
        QStringList en = english->SectionKeys(section), de = german->SectionKeys(section);
        en.sort(Qt::CaseInsensitive);
        de.sort(Qt::CaseInsensitive);
        EXPECT_EQ(en, de) << section.toStdString();
    }
}

TEST(ShippedLanguages, EveryBuiltInWindowTextHasAnEnglishAndAGermanEntry)
{
    TspAceMultiLangData builtin;
    builtin.SetData(BuiltinLanguageData());
    const auto english = load("English");
    const auto german = load("Deutsch");
    int translated = 0;
    for (const char* section : {"TfrmMainForm", "TfrmOptionForm", "TfrmAboutForm"}) {
        for (const QString& key : builtin.SectionKeys(section)) {
            QString en, de;
            EXPECT_TRUE(english->FindText(section, "", key, en)) << key.toStdString();
            EXPECT_TRUE(german->FindText(section, "", key, de)) << key.toStdString();
            translated += (en != de);
        }
    }
    EXPECT_GT(translated, 30) << "the German file must differ visibly";
}

TEST(ShippedLanguages, SkinTextsListEveryLibraryText)
{
    const auto english = load("English");
    const auto german = load("Deutsch");
    QStringList en, de;
    english->FillStrings("skinres", en);
    german->FillStrings("skinres", de);
    EXPECT_EQ(en.size(), 118);
    EXPECT_EQ(de.size(), 118);
    EXPECT_EQ(en, DefaultResStrings());
    EXPECT_EQ(ListValue(de, "MSG_BTN_YES"), "&Ja");
}

// What a user reads names what the program does on this desktop, not Windows' browser or the Windows
// calls it once stood for. Component names and settings keys (cbIE, IE) keep theirs, so only texts
// are read: every value, and the keys of ResString, which are shown as they are until translated.
TEST(ShippedLanguages, NoTextNamesInternetExplorerOrAWindowsCall)
{
    static const QRegularExpression windowsWords(
        QStringLiteral("Internet Explorer|\\bIE\\b|\\bMSIE\\b|\\bWindows\\b|\\bregistry\\b|WinInet|"
                       "InternetSetOption|UrlCache|CreateProcess"));
    auto windowsTexts = [](const TspAceMultiLangData& data) {
        QStringList found;
        for (const QString& section : sectionsOf(data.Data())) {
            for (const QString& key : data.SectionKeys(section)) {
                QString text;
                data.FindText(section, "", key, text);
                if (text.contains(windowsWords))
                    found << section + "/" + key + "=" + text;
                if (section.compare("ResString", Qt::CaseInsensitive) == 0 && key.contains(windowsWords))
                    found << section + "/" + key;
            }
        }
        return found.join("\n").toStdString();
    };
    TspAceMultiLangData builtin;
    builtin.SetData(BuiltinLanguageData());
    EXPECT_EQ(windowsTexts(builtin), "");
    const QStringList files = QDir(sourceDir() + "/data/langs").entryList({"*.lan"}, QDir::Files);
    ASSERT_GE(files.size(), 2);
    for (const QString& file : files) {
        const auto data = load(file.chopped(4));
        ASSERT_FALSE(data->Data().isEmpty()) << file.toStdString();
        EXPECT_EQ(windowsTexts(*data), "") << file.toStdString();
    }
    EXPECT_EQ(KnownMessageTexts().filter(windowsWords).join("\n").toStdString(), "");
}

TEST(ShippedSkins, AtLeastTwoSkinsThatDifferFromEachOtherAndTheBuiltInOne)
{
    const QDir skins(binDir() + "/skins");
    const QStringList files = skins.entryList({"*.skn"}, QDir::Files, QDir::Name);
    ASSERT_GE(files.size(), 2) << skins.path().toStdString();
    TSkinFile builtin;
    ASSERT_TRUE(TSkinFile::Decode(TSkinEngine::BuiltinSkinData(), builtin));
    QSet<QString> styles{builtin.styleSheet};
    for (const QString& file : files) {
        QFile f(skins.filePath(file));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        TSkinFile skin;
        ASSERT_TRUE(TSkinFile::Decode(f.readAll(), skin)) << file.toStdString();
        EXPECT_FALSE(styles.contains(skin.styleSheet)) << file.toStdString();
        styles.insert(skin.styleSheet);
    }
}
