#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {
QStringList Args(std::initializer_list<const char*> list)
{
    QStringList args;
    for (const char* a : list)
        args << QString::fromUtf8(a);
    return args;
}
} // namespace

TEST(CommandLine, StopAndRestartAcceptMinusOrSlashInAnyLetterCase)
{
    for (const char* arg : {"-s", "/s", "-S", "/S"})
        EXPECT_TRUE(HasStopSwitch(Args({arg}))) << arg;
    for (const char* arg : {"-r", "/r", "-R", "/R"})
        EXPECT_TRUE(HasRestartSwitch(Args({arg}))) << arg;
    // The backslash is a switch character of autorun only.
    EXPECT_FALSE(HasStopSwitch(Args({"\\s"})));
    EXPECT_FALSE(HasRestartSwitch(Args({"\\r"})));
}

TEST(CommandLine, OnlyTheWholeSwitchNameAfterOneSwitchCharacterCounts)
{
    for (const char* arg : {"--s", "s", "-st", "-", "", "-stop", " -s", "-s "})
        EXPECT_FALSE(HasStopSwitch(Args({arg}))) << arg;
    for (const char* arg : {"--autorun", "autorun", "-auto", "-autorunx", "+autorun"})
        EXPECT_FALSE(HasAutorunSwitch(Args({arg}))) << arg;
}

TEST(CommandLine, AutorunAcceptsAllThreeSwitchCharactersInAnyCaseAndPosition)
{
    for (const char* arg : {"-autorun", "/autorun", "\\autorun", "-AUTORUN", "/AutoRun", "\\aUtOrUn"}) {
        EXPECT_TRUE(HasAutorunSwitch(Args({arg}))) << arg;
        EXPECT_TRUE(HasAutorunSwitch(Args({"file.txt", "-x", arg}))) << arg << " as last argument";
    }
}

TEST(CommandLine, EveryArgumentIsExamined)
{
    const QStringList args = Args({"report.txt", "-x", "/R", "-S"});
    EXPECT_TRUE(HasStopSwitch(args));
    EXPECT_TRUE(HasRestartSwitch(args));
    EXPECT_FALSE(HasAutorunSwitch(args));
    EXPECT_FALSE(HasStopSwitch({}));
}

TEST(CommandLine, OnlyAFirstArgumentThatIsNoSwitchIsHandedOver)
{
    EXPECT_TRUE(ShouldHandOverFirstArgument(Args({"file.txt", "-s"})));
    EXPECT_TRUE(ShouldHandOverFirstArgument(Args({"\\autorun"}))); // not "-" or "/"
    EXPECT_FALSE(ShouldHandOverFirstArgument(Args({"-r"})));
    EXPECT_FALSE(ShouldHandOverFirstArgument(Args({"/home/user/file.txt"})));
    EXPECT_FALSE(ShouldHandOverFirstArgument({}));
}
