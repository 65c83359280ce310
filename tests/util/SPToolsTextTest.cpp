// Text and number routines: tables of inputs with their expected results.
#include "util/SPTools.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct IntCase
{
    const char* text;
    int expected;
};

class SafeStrToIntTest : public ::testing::TestWithParam<IntCase>
{
};

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

struct VersionCase
{
    const char* text;
    int expected;
};

class VersionToCodeTest : public ::testing::TestWithParam<VersionCase>
{
};

TEST_P(VersionToCodeTest, PacksFourFieldsIntoNibbles)
{
    EXPECT_EQ(VersionToCode(QString::fromUtf8(GetParam().text)), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, VersionToCodeTest,
                         ::testing::Values(VersionCase{"1.2.3.4", 0x1234}, VersionCase{"2.5.0.3 beta", 0x2503},
                                           VersionCase{"1.10.0.0", 0x1A00}, VersionCase{"1.2.x.4", 0x1204},
                                           VersionCase{"1.2.3", 0}, VersionCase{"", 0}, VersionCase{"1.2.3.4.5", 0},
                                           VersionCase{" 1.2.3.4", 0}, VersionCase{"1.2.3.", 0x1230},
                                           VersionCase{"15.15.15.15", 0xFFFF}, VersionCase{"1.2.3.-1", 0x123F}));

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

struct SplitCase
{
    const char* text;
    QStringList expected;
};

class SplitStringTest : public ::testing::TestWithParam<SplitCase>
{
};

TEST_P(SplitStringTest, AddsEveryFieldIncludingEmptyOnes)
{
    QStringList list{"kept"};
    SplitString(QString::fromUtf8(GetParam().text), u'|', list);
    EXPECT_EQ(list, QStringList{"kept"} + GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, SplitStringTest,
                         ::testing::Values(SplitCase{"", {}}, SplitCase{"abc", {"abc"}}, SplitCase{"|", {"", ""}},
                                           SplitCase{"a||b|", {"a", "", "b", ""}}, SplitCase{"|a", {"", "a"}},
                                           SplitCase{" a | b ", {" a ", " b "}}));

struct FormatCase
{
    const char* pattern;
    QStringList args;
    const char* expected;
};

class FormatArgsTest : public ::testing::TestWithParam<FormatCase>
{
};

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
    EXPECT_EQ(AddUrlParams("", "a=1"), "a=1");
    EXPECT_EQ(AddUrlParams("http://h/p", "a=1"), "http://h/p?a=1");
    EXPECT_EQ(AddUrlParams("http://h/p?x=2", "a=1"), "http://h/p?x=2&a=1");
    EXPECT_EQ(AddUrlParams("http://h/p?", "a=1"), "http://h/p?a=1");
    EXPECT_EQ(AddUrlParams("http://h/p?x=2&", "a=1"), "http://h/p?x=2&a=1");
    // The parameter text is not inspected.
    EXPECT_EQ(AddUrlParams("http://h/p", "&a=1"), "http://h/p?&a=1");
    EXPECT_EQ(AddUrlParams("http://h/p?x", "&a=1"), "http://h/p?x&&a=1");
}

struct CommandLineCase
{
    const char* text;
    QStringList expected;
};

class SplitCommandLineTest : public ::testing::TestWithParam<CommandLineCase>
{
};

TEST_P(SplitCommandLineTest, SplitsLikeTheShellWithoutExpansion)
{
    EXPECT_EQ(SplitCommandLine(QString::fromUtf8(GetParam().text)), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitCommandLineTest,
    ::testing::Values(CommandLineCase{"", {}}, CommandLineCase{"   \t ", {}},
                      CommandLineCase{"a b  c", {"a", "b", "c"}}, CommandLineCase{"\"a b\" c", {"a b", "c"}},
                      CommandLineCase{"'a \"b' c", {"a \"b", "c"}}, CommandLineCase{"a\\ b", {"a b"}},
                      CommandLineCase{"\"a\\\"b\\\\c\\n\"", {"a\"b\\c\\n"}}, CommandLineCase{"'a\\b'", {"a\\b"}},
                      CommandLineCase{"''", {""}}, CommandLineCase{"x\"\"y", {"xy"}},
                      CommandLineCase{"a\"b c\"d", {"ab cd"}},
                      CommandLineCase{"$HOME *.txt ~", {"$HOME", "*.txt", "~"}},
                      CommandLineCase{"\"open end", {"open end"}}, CommandLineCase{"trail\\", {"trail"}}));

} // namespace
