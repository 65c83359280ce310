#include "platform/PrivateProfileFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

using platform::PrivateProfileFile;

namespace {

PrivateProfileFile fromText(const QByteArray& text)
{
    PrivateProfileFile ini;
    ini.setContents(text);
    return ini;
}

} // namespace

TEST(PrivateProfileFile, ReplacesAKeyInPlaceAndKeepsEveryOtherByte)
{
    const QByteArray before = "; Opera settings\n[User Prefs]\nLanguage = en\n\n[Proxy]\nUse HTTP=0\n"
                              "HTTP server=\nFTP server=ftp.example:21\n\n[Colors]\nLink=#0000ff\n";
    PrivateProfileFile ini = fromText(before);
    ini.setValue(QStringLiteral("proxy"), QStringLiteral("use http"), QStringLiteral("1"));
    ini.setValue(QStringLiteral("Proxy"), QStringLiteral("HTTP server"), QStringLiteral("10.0.0.1:3128"));

    const QByteArray expected = "; Opera settings\n[User Prefs]\nLanguage = en\n\n[Proxy]\nuse http=1\n"
                                "HTTP server=10.0.0.1:3128\nFTP server=ftp.example:21\n\n[Colors]\nLink=#0000ff\n";
    EXPECT_EQ(ini.contents(), expected);
    EXPECT_EQ(ini.value(QStringLiteral("PROXY"), QStringLiteral("Http Server")), QStringLiteral("10.0.0.1:3128"));
}

TEST(PrivateProfileFile, AddsMissingKeysAtTheEndOfTheirSectionBeforeTheBlankLine)
{
    PrivateProfileFile ini = fromText("[Proxy]\nUse HTTP=1\n\n[Other]\nA=1\n");
    ini.setValue(QStringLiteral("Proxy"), QStringLiteral("No Proxy Servers"), QString());
    EXPECT_EQ(ini.contents(), QByteArray("[Proxy]\nUse HTTP=1\nNo Proxy Servers=\n\n[Other]\nA=1\n"));
}

TEST(PrivateProfileFile, AddsAMissingSectionAtTheEndEvenWithoutAFinalNewline)
{
    PrivateProfileFile ini = fromText("[Other]\nA=1");
    ini.setValue(QStringLiteral("Proxy"), QStringLiteral("Use HTTP"), QStringLiteral("0"));
    EXPECT_EQ(ini.contents(), QByteArray("[Other]\nA=1\n[Proxy]\nUse HTTP=0\n"));

    PrivateProfileFile empty = fromText(QByteArray());
    empty.setValue(QStringLiteral("Proxy Settings"), QStringLiteral("ProxyType"), QStringLiteral("1"));
    EXPECT_EQ(empty.contents(), QByteArray("[Proxy Settings]\nProxyType=1\n"));
}

TEST(PrivateProfileFile, KeepsWindowsLineEndingsForChangedAndNewLines)
{
    PrivateProfileFile ini = fromText("[Proxy]\r\nUse HTTP=0\r\n");
    ini.setValue(QStringLiteral("Proxy"), QStringLiteral("Use HTTP"), QStringLiteral("1"));
    ini.setValue(QStringLiteral("Proxy"), QStringLiteral("HTTP server"), QStringLiteral("h:1"));
    EXPECT_EQ(ini.contents(), QByteArray("[Proxy]\r\nUse HTTP=1\r\nHTTP server=h:1\r\n"));
}

TEST(PrivateProfileFile, LeavesCommentedOutEntriesAndLookalikeSectionsAlone)
{
    PrivateProfileFile ini = fromText("[Proxy Old]\nUse HTTP=7\n[Proxy]\n;Use HTTP=5\n");
    ini.setValue(QStringLiteral("Proxy"), QStringLiteral("Use HTTP"), QStringLiteral("1"));
    EXPECT_EQ(ini.contents(), QByteArray("[Proxy Old]\nUse HTTP=7\n[Proxy]\n;Use HTTP=5\nUse HTTP=1\n"));
}

TEST(PrivateProfileFile, SavesTheWholeFileAndReportsAFolderThatCannotHoldIt)
{
    testsupport::TempDir dir;
    const QString file = dir.write(QStringLiteral("a.ini"), "[S]\nK=1\n");
    PrivateProfileFile ini;
    ASSERT_TRUE(ini.load(file));
    ini.setValue(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("2"));
    ASSERT_TRUE(ini.save(file));
    EXPECT_EQ(dir.read(QStringLiteral("a.ini")), QByteArray("[S]\nK=2\n"));

    EXPECT_FALSE(ini.load(dir.file(QStringLiteral("missing.ini"))));
    EXPECT_FALSE(ini.save(dir.file(QStringLiteral("no/such/folder/a.ini"))));
}
