#include "platform/SystemInfo.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

TEST(LinuxSystemInfoTest, ReadsTheChannelFileOfTheProgram)
{
    testsupport::TempDir etc;
    platform::LinuxSystemInfo system(etc.path(), etc.file("os-release"));
    EXPECT_EQ(system.channel("veilport", "unknow"), "unknow");
    etc.write("veilport/CHL", "\"/srv/dist/veilport_partner42.deb\"\n# second line ignored\n");
    EXPECT_EQ(system.channel("veilport", "unknow"), "\"/srv/dist/veilport_partner42.deb\"");
    // A name that would leave the folder is not followed.
    EXPECT_EQ(system.channel("../etc/veilport", "unknow"), "unknow");
}

TEST(LinuxSystemInfoTest, ReleaseTextIsThePrettyName)
{
    testsupport::TempDir etc;
    platform::LinuxSystemInfo missing(etc.path(), etc.file("none"));
    EXPECT_EQ(missing.servicePackText(), "");
    etc.write("os-release", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
    platform::LinuxSystemInfo system(etc.path(), etc.file("os-release"));
    EXPECT_EQ(system.servicePackText(), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(platform::PrettyNameFromOsRelease("PRETTY_NAME=Plain\n"), "Plain");
    EXPECT_EQ(platform::PrettyNameFromOsRelease("PRETTY_NAME=\"" + QByteArray(300, 'x') + "\"\n").size(), 128);
}

TEST(LinuxSystemInfoTest, KernelReleaseGivesMajorAndMinor)
{
    int major = -1, minor = -1;
    platform::ParseKernelRelease("6.1.0-18-amd64", major, minor);
    EXPECT_EQ(major, 6);
    EXPECT_EQ(minor, 1);
    platform::ParseKernelRelease("5", major, minor);
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 0);
    platform::ParseKernelRelease("weird", major, minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    platform::LinuxSystemInfo system;
    EXPECT_GT(system.osMajorVersion(), 1);
}

TEST(LinuxSystemInfoTest, LocaleMapsToTheWindowsLanguageNumber)
{
    EXPECT_EQ(platform::WindowsLanguageId("en_US.UTF-8"), 1033u);
    EXPECT_EQ(platform::WindowsLanguageId("de_DE.UTF-8"), 1031u);
    EXPECT_EQ(platform::WindowsLanguageId("en_GB"), 2057u);
    EXPECT_EQ(platform::WindowsLanguageId("pt_BR.utf8"), 1046u);
    EXPECT_EQ(platform::WindowsLanguageId("fr_CA.UTF-8@euro"), 3084u);
    // An unlisted country falls back to the language, an unknown language to US English.
    EXPECT_EQ(platform::WindowsLanguageId("de_BE.UTF-8"), 1031u);
    EXPECT_EQ(platform::WindowsLanguageId("C.UTF-8"), 1033u);
    EXPECT_EQ(platform::WindowsLanguageId(""), 1033u);

    testsupport::ScopedEnv all("LC_ALL", "");
    testsupport::ScopedEnv messages("LC_MESSAGES", "ja_JP.UTF-8");
    EXPECT_EQ(platform::LinuxSystemInfo().systemLanguageId(), 1041u);
}

} // namespace
