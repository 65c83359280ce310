// Blocking instead of going direct: the user's choice, kept in Setting.dat, and how often a blocked program looks
// for a working proxy, from the constants the program ships.
#include "SettingsFixture.h"
#include "config/BlockingOptions.h"

#include <QFile>

namespace {

using BlockingOptionsTest = SettingsFixture;

QByteArray shippedConstants()
{
    QFile file(qEnvironmentVariable("VEILPORT_SOURCE_DIR") + QStringLiteral("/data/const.dat"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST_F(BlockingOptionsTest, OffUntilChosenAndTheSearchRunsEveryMinuteUnlessADistributorSaysOtherwise)
{
    const QByteArray constants = shippedConstants();
    ASSERT_FALSE(constants.isEmpty());
    m_dir.write("prog/const.dat", constants);
    TSettings& settings = init();
    settings.OpenSettingsFile(false);
    BlockingOptions options = BlockingOptions::fromSettings(settings);
    EXPECT_FALSE(options.blockWhenNoProxy);
    EXPECT_EQ(options.retryIntervalMs, 60000);

    BlockingOptions::writeBlockWhenNoProxy(settings, true);
    TSettings& again = restart();
    again.OpenSettingsFile(false);
    EXPECT_TRUE(BlockingOptions::fromSettings(again).blockWhenNoProxy);
    EXPECT_TRUE(m_dir.read("config/Veilport/Setting.dat").contains("BlockWhenNoProxy=1"));

    // A value that would make the search run without pause, or that does not parse.
    m_dir.write("prog/oem.dat", "[const]\r\nProxy.RetryInterval=0\r\n");
    EXPECT_EQ(BlockingOptions::fromSettings(restart()).retryIntervalMs, 1000);
    m_dir.write("prog/oem.dat", "[const]\r\nProxy.RetryInterval=soon\r\n");
    EXPECT_EQ(BlockingOptions::fromSettings(restart()).retryIntervalMs, 60000);
}

} // namespace
