// The flag cache as a user meets it: the real program in a private home fetches the flags of its
// own and of the proxy's country once, from the local list service, and draws them from the
// settings folder on every later start without asking the service again.
#include "ProgramProcess.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFarm.h"

#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>

#include <gtest/gtest.h>

namespace {

using apptest::waitUntil;

constexpr int kStepTimeoutMs = 25000;
// Many working proxies make the choice come at the 31st result, about a second into the test run,
// instead of after the slowest of the random start delays of up to ten seconds.
constexpr int kPoolSize = 200;
// How long a second start is watched for flag requests once it has drawn its flags.
constexpr int kQuietMs = 3000;

const QString kLocalCountry = QStringLiteral("United States");
const QString kProxyCountry = QStringLiteral("Canada");

bool isFlagRequest(const QString& line)
{
    return line.contains(QLatin1String("/images/flag/")) || line.contains(QLatin1String("/tpl/images/flag_small/"));
}

QStringList flagRequests(const QStringList& lines)
{
    QStringList flags;
    for (const QString& line : lines)
        if (isFlagRequest(line))
            flags << line;
    return flags;
}

// A flag box in a screenshot of the main window shows a picture, not its plain background.
bool showsAFlag(const QImage& shot, const QPoint& topLeft)
{
    QSet<QRgb> colours;
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
            colours.insert(shot.pixel(topLeft + QPoint(x, y)));
    return colours.size() > 1;
}

class FlagCacheEndToEnd : public apptest::ProgramCopiesTest
{
protected:
    void SetUp() override
    {
        const QString bin = apptest::builtProgramFolder();
        if (!apptest::programBuilt() || !QFileInfo(bin + QStringLiteral("/veilport_hiding_screenshot")).isExecutable())
            GTEST_SKIP() << "the veilport and veilport_hiding_screenshot executables are not built";
        ASSERT_TRUE(farm.start(2, 500)) << farm.errorText().toStdString();
        QList<testsupport::ListServiceEntry> pool;
        for (int i = 0; i < kPoolSize; ++i)
            pool.append({farm.proxyText(i), kProxyCountry, QStringLiteral("-75.7"), QStringLiteral("45.4")});
        testsupport::ListServiceOptions options;
        options.localCountry = kLocalCountry;
        options.logRequests = true;
        ASSERT_TRUE(service.start(pool, options)) << service.errorText().toStdString();

        ASSERT_TRUE(install(oemDat()));
        pictureTaker = QFileInfo(program).path() + QStringLiteral("/veilport_hiding_screenshot");
        ASSERT_TRUE(apptest::copyExecutable(bin + QStringLiteral("/veilport_hiding_screenshot"), pictureTaker));
        // Hiding was on at the last close, so every start hides on its own once a list is in.
        apptest::writeHidingWasOn(root);
        settingsFolder = root.file(QStringLiteral("config/Veilport"));
    }

    QByteArray oemDat() const
    {
        const QString h = service.host();
        return QStringLiteral("[const]\nURL.ServiceHost=%1\nURL.SiteHost=%1\nURL.GETPROXY=http://%1/getproxy.php\n"
                              "URL.InfoURL=http://%1/info.php\nURL.IPSEEKER=http://%1/ipseeker.php\n"
                              // Proxies are not asked to tunnel: the flags, not the tunnel, are under test.
                              "URL.TUNNELTEST=\n")
            .arg(h)
            .toUtf8();
    }

    // Starts a copy; with a screenshot file it saves a picture of its main window shortly after it has
    // applied a proxy.
    QProcess* launch(const QString& screenshot)
    {
        const QProcessEnvironment env = testsupport::PrivateHome(root.path()).programEnvironment();
        if (screenshot.isEmpty())
            return ProgramCopiesTest::launch(env);
        return ProgramCopiesTest::launch(env, {screenshot}, pictureTaker);
    }

    std::string traces() const
    {
        return ProgramCopiesTest::traces() + "--- requests\n" +
               service.requests().join(QLatin1Char('\n')).toStdString();
    }

    QString flagFile(const QString& country) const { return settingsFolder + u'/' + country + "_small.png"; }

    bool flagCached(const QString& country) const { return !QImage(flagFile(country)).isNull(); }

    testsupport::TinyproxyFarm farm;
    testsupport::ListServiceFixture service;
    // The program run by the tool that takes a picture of it while it hides.
    QString pictureTaker;
    QString settingsFolder;
};

} // namespace

TEST_F(FlagCacheEndToEnd, FlagsSeenBeforeAreDrawnFromTheCacheWithoutARequest)
{
    QProcess* first = launch(QString());
    // The first start knows no flag: both are fetched into the settings folder.
    ASSERT_TRUE(waitUntil([&] { return flagCached(kLocalCountry) && flagCached(kProxyCountry); }, kStepTimeoutMs))
        << traces();
    const QStringList fetched = flagRequests(service.requests());
    EXPECT_TRUE(fetched.contains(QStringLiteral("GET /images/flag/United States.png"))) << traces();
    EXPECT_TRUE(fetched.contains(QStringLiteral("GET /images/flag/Canada.png"))) << traces();
    ASSERT_TRUE(closeCopy(first)) << traces();
    const qsizetype requestsBefore = service.requests().size();

    const QString secondShot = root.file(QStringLiteral("second.png"));
    QProcess* second = launch(secondShot);
    // Hiding again: the picture is taken a moment after the proxy was applied and its flag shown.
    ASSERT_TRUE(waitUntil([&] { return !QImage(secondShot).isNull(); }, kStepTimeoutMs)) << traces();
    // The fresh list has been asked for as well; its arrival shows the own flag once more.
    ASSERT_TRUE(waitUntil(
        [&] { return service.requests().mid(requestsBefore).filter(QStringLiteral("/getproxy.php")).size() >= 1; },
        kStepTimeoutMs))
        << traces();
    // Whatever fetch those showings could have started would reach the service within this time.
    waitUntil([&] { return !flagRequests(service.requests().mid(requestsBefore)).isEmpty(); }, kQuietMs);
    const QStringList asked = flagRequests(service.requests().mid(requestsBefore));
    EXPECT_TRUE(asked.isEmpty()) << "flags asked for again:\n" << asked.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(second->state(), QProcess::Running);

    // Both flags were drawn all the same: the proxy's on the first line, the own one on the second.
    const QImage shot(secondShot);
    EXPECT_TRUE(showsAFlag(shot, QPoint(88, 16))) << "no proxy flag in " << secondShot.toStdString();
    EXPECT_TRUE(showsAFlag(shot, QPoint(88, 37))) << "no own flag in " << secondShot.toStdString();
}
