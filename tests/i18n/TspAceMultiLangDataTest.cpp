// The reading rules of language files: stripping, comments, sections, first occurrences,
// letter case, <BR>/<SP> decoding and the Name=Value copy of a section.
#include "i18n/TspAceMultiLangData.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

QString find(const TspAceMultiLangData& data, const QString& section, const QString& component, const QString& path,
             bool* found = nullptr)
{
    QString text = QStringLiteral("<unchanged>");
    const bool ok = data.FindText(section, component, path, text);
    if (found)
        *found = ok;
    return text;
}

std::unique_ptr<TspAceMultiLangData> dataOf(const QByteArray& bytes)
{
    auto data = std::make_unique<TspAceMultiLangData>();
    data->SetData(bytes);
    return data;
}

} // namespace

TEST(LanguageFileRules, LinesAreStrippedAndCommentsAndStrayLinesIgnored)
{
    const QByteArray text = "orphan=before any section\r\n"
                            "  \t[ Sec ]  \r\n"
                            "; comment=not an entry\r\n"
                            "\x01\x02  key1 =  value one \t\x03\r\n"
                            "line without equals sign\n"
                            "\r\n"
                            "key2=two\r"
                            "key3=three";
    const auto data = dataOf(text);
    EXPECT_EQ(find(*data, "Sec", "", "key1"), "value one");
    EXPECT_EQ(find(*data, "Sec", "", "key2"), "two");
    EXPECT_EQ(find(*data, "Sec", "", "key3"), "three");
    bool found = true;
    find(*data, "Sec", "", "; comment", &found);
    EXPECT_FALSE(found);
    find(*data, "Sec", "", "line without equals sign", &found);
    EXPECT_FALSE(found);
    find(*data, "", "", "orphan", &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(data->SectionCount(), 1);
}

TEST(LanguageFileRules, FirstSectionAndFirstKeyWinRegardlessOfCase)
{
    const auto data = dataOf("[TfrmX]\nbtnOk.Caption=First\nBTNOK.caption=Second\n"
                             "[tfrmx]\nbtnOk.Caption=Third\nother.Caption=Hidden\n");
    EXPECT_EQ(find(*data, "TFRMX", "btnok", "CAPTION"), "First");
    bool found = true;
    find(*data, "TfrmX", "other", "Caption", &found);
    EXPECT_FALSE(found) << "entries of a repeated section are never seen";
}

TEST(LanguageFileRules, BreakAndBlankTagsInAnyCaseAndOnlyTagsKeepOuterBlanks)
{
    const auto data = dataOf("[S]\nlist=one<BR>two<br>three<Br>\nspaced=<SP>x<sp>\n"
                             "plain=   x   \nmixed=a<bR>b<Sp>c\n");
    EXPECT_EQ(find(*data, "S", "", "list"), "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(find(*data, "S", "", "spaced"), " x ");
    EXPECT_EQ(find(*data, "S", "", "plain"), "x");
    EXPECT_EQ(find(*data, "S", "", "mixed"), "a\r\nb c");
}

TEST(LanguageFileRules, PercentPlusAndHighBytesAreKept)
{
    const auto data = dataOf("[S]\nrate=50% of %1 + %2\nutf8=Gr\xc3\xb6\xc3\x9f"
                             "e\nlatin=Gr\xf6\xdf"
                             "e\n");
    EXPECT_EQ(find(*data, "S", "", "rate"), "50% of %1 + %2");
    EXPECT_EQ(find(*data, "S", "", "utf8"), QString::fromUtf8("Größe"));
    // A file in an old 8-bit code page keeps every byte instead of turning into replacement marks.
    EXPECT_EQ(find(*data, "S", "", "latin"), QString::fromLatin1("Gr\xf6\xdf"
                                                                 "e"));
    EXPECT_EQ(data->Data(), QByteArray("[S]\nrate=50% of %1 + %2\nutf8=Gr\xc3\xb6\xc3\x9f"
                                       "e\nlatin=Gr\xf6\xdf"
                                       "e\n"));
}

TEST(LanguageFileRules, EmptyValueIsFoundAndMissingKeyLeavesTextAlone)
{
    const auto data = dataOf("[S]\nempty=\ncomp.Prop=v\n");
    bool found = false;
    EXPECT_EQ(find(*data, "S", "", "empty", &found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(find(*data, "S", "", "missing", &found), "<unchanged>");
    EXPECT_FALSE(found);
    EXPECT_EQ(find(*data, "S", "comp", "Prop"), "v") << "component and path are joined with a dot";
    EXPECT_EQ(find(*data, "Nope", "comp", "Prop", &found), "<unchanged>");
    EXPECT_FALSE(found);
}

TEST(LanguageFileRules, FillStringsCopiesInFileOrderAndEmptyValueRemovesName)
{
    const auto data = dataOf("[skinres]\nMSG_BTN_YES=&Ja\nMSG_BTN_NO=\nNEW=<SP>neu\n");
    QStringList list{"MSG_BTN_NO=&No", "msg_btn_yes=&Yes", "KEEP=1"};
    data->FillStrings("SKINRES", list);
    EXPECT_EQ(list, (QStringList{"MSG_BTN_YES=&Ja", "KEEP=1", "NEW= neu"}));
}

TEST(LanguageFileRules, InfoEntriesGiveLanguageVersionAndTranslator)
{
    const auto data = dataOf("[info]\nlanguage=Deutsch\nVERSION=2.1\nTranslator=Anna<BR>Berlin\n");
    EXPECT_EQ(data->Language(), "Deutsch");
    EXPECT_EQ(data->Version(), "2.1");
    EXPECT_EQ(data->Translator(), "Anna\r\nBerlin");
    EXPECT_EQ(dataOf("")->Language(), "");
}

TEST(LanguageFileRules, UnreadableFileLoadsAsEmpty)
{
    TspAceMultiLangData data;
    data.SetData("[S]\nk=v\n");
    data.LoadLanguageFile("/nonexistent/folder/Nope.lan");
    EXPECT_TRUE(data.Data().isEmpty());
    bool found = true;
    find(data, "S", "", "k", &found);
    EXPECT_FALSE(found);
}

TEST(LanguageFileRules, HostileFilesLoadWithoutHarm)
{
    // Binary bytes, one very long line and many thousands of sections.
    QByteArray text;
    for (int i = 0; i < 256; ++i)
        text.append(char(i));
    text.append("\n[Long]\nkey=");
    text.append(QByteArray(4 * 1024 * 1024, 'x'));
    text.append("\n");
    for (int i = 0; i < 20000; ++i)
        text.append("[S" + QByteArray::number(i) + "]\nk=" + QByteArray::number(i) + "\n");
    testsupport::TempDir dir;
    const QString file = dir.write("Hostile.lan", text);

    TspAceMultiLangData data;
    data.LoadLanguageFile(file);
    EXPECT_EQ(find(data, "S19999", "", "k"), "19999");
    EXPECT_EQ(find(data, "Long", "", "key").size(), 4 * 1024 * 1024);
    EXPECT_EQ(data.SectionCount(), 20001);
}

TEST(LanguageFileRules, ListValueHelpersIgnoreCaseOfNames)
{
    QStringList list{"A=1", "b=2"};
    SetListValue(list, "B", "3");
    SetListValue(list, "c", "4");
    SetListValue(list, "a", "");
    EXPECT_EQ(list, (QStringList{"B=3", "c=4"}));
    EXPECT_EQ(ListValue(list, "C"), "4");
    EXPECT_EQ(ListValue(list, "zzz"), "");
}

TEST(LanguageFileRules, HugeSectionCopiesIntoAListOfTheSameNames)
{
    // A copy that searched the list for every entry would stall the window on such a file.
    QByteArray text = "[skinres]\n";
    QStringList list;
    for (int i = 0; i < 100000; ++i) {
        text += "N" + QByteArray::number(i) + "=v" + QByteArray::number(i) + "\n";
        list << "n" + QString::number(i) + "=old";
    }
    TspAceMultiLangData data;
    data.SetData(text);
    data.FillStrings("skinres", list);
    ASSERT_EQ(list.size(), 100000);
    EXPECT_EQ(list.first(), "N0=v0");
    EXPECT_EQ(list.last(), "N99999=v99999");
}
