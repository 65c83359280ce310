// Text and number routines: tables of inputs with their expected results.
#include "util/SPTools.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// A text and what the routine under test makes of it.
template <typename Expected> struct Case
{
    const char* text;
    Expected expected;
};
using IntCase = Case<int>;
using ListCase = Case<QStringList>;

using SafeStrToIntTest = ::testing::TestWithParam<IntCase>;

TEST_P(SafeStrToIntTest, ReadsIntegerOrGivesDefault)
{
    EXPECT_EQ(SafeStrToInt(QString::fromUtf8(GetParam().text), -77), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, SafeStrToIntTest,
                         ::testing::Values(IntCase{"0", 0}, IntCase{"42", 42}, IntCase{"-42", -42}, IntCase{"+7", 7},
                                           IntCase{"   12", 12}, IntCase{"\t5", 5}, IntCase{"$1F", 31},
                                           IntCase{"$ff", 255}, IntCase{"-$10", -16}, IntCase{"2147483647", INT_MAX},
                                           IntCase{"-2147483648", INT_MIN}, IntCase{"$7FFFFFFF", INT_MAX},
                                           // Everything below is not an integer and gives the default.
                                           IntCase{"", -77}, IntCase{"   ", -77}, IntCase{"12a", -77},
                                           IntCase{"12 ", -77}, IntCase{"-", -77}, IntCase{"$", -77},
                                           IntCase{"$1G", -77}, IntCase{"1.5", -77}, IntCase{"yes", -77},
                                           IntCase{"2147483648", -77}, IntCase{"-2147483649", -77},
                                           IntCase{"99999999999999999999999", -77}, IntCase{"$100000000", -77},
                                           IntCase{"0x10", -77}, IntCase{"--1", -77}, IntCase{"\xd9\xa3", -77}));

TEST(IntToStrPadTest, PadsOnTheLeftAndNeverCuts)
{
    EXPECT_EQ(IntToStrPad(1, 2, u'0'), "01");
    EXPECT_EQ(IntToStrPad(70, 2, u'0'), "70");
    EXPECT_EQ(IntToStrPad(12345, 2, u'0'), "12345");
    EXPECT_EQ(IntToStrPad(5, 4, u' '), "   5");
    EXPECT_EQ(IntToStrPad(-5, 3, u'0'), "0-5");
    EXPECT_EQ(IntToStrPad(0, 0, u'0'), "0");
}

TEST(BytesToHexTest, GivesTwoUpperCaseDigitsPerByteInOrder)
{
    EXPECT_EQ(BytesToHex(QByteArray()), "");
    EXPECT_EQ(BytesToHex(QByteArray("\x00\x0f\xa0\xff", 4)), "000FA0FF");
    EXPECT_EQ(BytesToHex(QByteArray("Hi!")), "486921");
}

using VersionToCodeTest = ::testing::TestWithParam<IntCase>;

TEST_P(VersionToCodeTest, PacksFourFieldsIntoNibbles)
{
    EXPECT_EQ(VersionToCode(QString::fromUtf8(GetParam().text)), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, VersionToCodeTest,
                         ::testing::Values(IntCase{"1.2.3.4", 0x1234}, IntCase{"2.5.0.3 beta", 0x2503},
                                           IntCase{"1.10.0.0", 0x1A00}, IntCase{"1.2.x.4", 0x1204}, IntCase{"1.2.3", 0},
                                           IntCase{"", 0}, IntCase{"1.2.3.4.5", 0}, IntCase{" 1.2.3.4", 0},
                                           IntCase{"1.2.3.", 0x1230}, IntCase{"15.15.15.15", 0xFFFF},
                                           IntCase{"1.2.3.-1", 0x123F}));

TEST(TextStartsWithTest, ComparesPrefixIgnoringCase)
{
    EXPECT_TRUE(TextStartsWith("HTTP://x", "http://"));
    EXPECT_TRUE(TextStartsWith("abc", ""));
    EXPECT_TRUE(TextStartsWith("", ""));
    EXPECT_TRUE(TextStartsWith("abc", "ABC"));
    EXPECT_FALSE(TextStartsWith("ab", "abc"));
    EXPECT_FALSE(TextStartsWith("", "a"));
    EXPECT_FALSE(TextStartsWith("xabc", "abc"));
}

using SplitStringTest = ::testing::TestWithParam<ListCase>;

TEST_P(SplitStringTest, AddsEveryFieldIncludingEmptyOnes)
{
    QStringList list{"kept"};
    SplitString(QString::fromUtf8(GetParam().text), u'|', list);
    EXPECT_EQ(list, QStringList{"kept"} + GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, SplitStringTest,
                         ::testing::Values(ListCase{"", {}}, ListCase{"abc", {"abc"}}, ListCase{"|", {"", ""}},
                                           ListCase{"a||b|", {"a", "", "b", ""}}, ListCase{"|a", {"", "a"}},
                                           ListCase{" a | b ", {" a ", " b "}}));

struct FormatCase
{
    const char* pattern;
    QStringList args;
    const char* expected;
};

using FormatArgsTest = ::testing::TestWithParam<FormatCase>;

TEST_P(FormatArgsTest, FillsPlaceholders)
{
    EXPECT_EQ(FormatArgs(QString::fromUtf8(GetParam().pattern), GetParam().args),
              QString::fromUtf8(GetParam().expected))
        << GetParam().pattern;
}

INSTANTIATE_TEST_SUITE_P(Patterns, FormatArgsTest,
                         ::testing::Values(FormatCase{"%1 of %2", {"3", "9"}, "3 of 9"}, FormatCase{"100%", {}, "100%"},
                                           FormatCase{"%%", {}, "%"}, FormatCase{"%x", {}, "%x"},
                                           FormatCase{"%3", {}, ""}, FormatCase{"a%0b", {"z"}, "a%0b"},
                                           FormatCase{"%12", {"A"}, "A2"}, FormatCase{"%2%1", {"a", "b"}, "ba"},
                                           FormatCase{"%%1", {"a"}, "%1"}, FormatCase{"%1", {"%2"}, "%2"},
                                           FormatCase{"%9", {"1", "2", "3", "4", "5", "6", "7", "8", "nine"}, "nine"},
                                           FormatCase{"", {"a"}, ""}));

TEST(AddUrlParamsTest, JoinsWithTheRightSeparator)
{
    // Address, parameters, result; the parameter text is not inspected (the last two).
    const char* const cases[][3] = {{"", "a=1", "a=1"},
                                    {"http://h/p", "a=1", "http://h/p?a=1"},
                                    {"http://h/p?x=2", "a=1", "http://h/p?x=2&a=1"},
                                    {"http://h/p?", "a=1", "http://h/p?a=1"},
                                    {"http://h/p?x=2&", "a=1", "http://h/p?x=2&a=1"},
                                    {"http://h/p", "&a=1", "http://h/p?&a=1"},
                                    {"http://h/p?x", "&a=1", "http://h/p?x&&a=1"}};
    for (const auto& c : cases)
        EXPECT_EQ(AddUrlParams(c[0], c[1]), c[2]) << c[0] << " + " << c[1];
}

using SplitCommandLineTest = ::testing::TestWithParam<ListCase>;

TEST_P(SplitCommandLineTest, SplitsLikeTheShellWithoutExpansion)
{
    EXPECT_EQ(SplitCommandLine(QString::fromUtf8(GetParam().text)), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, SplitCommandLineTest,
                         ::testing::Values(ListCase{"", {}}, ListCase{"   \t ", {}},
                                           ListCase{"a b  c", {"a", "b", "c"}}, ListCase{"\"a b\" c", {"a b", "c"}},
                                           ListCase{"'a \"b' c", {"a \"b", "c"}}, ListCase{"a\\ b", {"a b"}},
                                           ListCase{"\"a\\\"b\\\\c\\n\"", {"a\"b\\c\\n"}}, ListCase{"'a\\b'", {"a\\b"}},
                                           ListCase{"''", {""}}, ListCase{"x\"\"y", {"xy"}},
                                           ListCase{"a\"b c\"d", {"ab cd"}},
                                           ListCase{"$HOME *.txt ~", {"$HOME", "*.txt", "~"}},
                                           ListCase{"\"open end", {"open end"}}, ListCase{"trail\\", {"trail"}}));

} // namespace
