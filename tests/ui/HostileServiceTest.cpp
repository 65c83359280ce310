// A list service that crafts its country names and flag addresses to escape the settings folder,
// to read local files or to smuggle options and shell code into a command line. The flag cache
// keeps every file inside the settings folder, only web addresses are fetched, and no payload
// ever runs.
#include "MainWindowFixture.h"

#include "app/ProgramProcess.h"
#include "net/THTTPGet.h"
#include "platform/UnixInstanceChannel.h"
#include "support/ScriptedHttpServer.h"
#include "support/Wait.h"
#include "ui/FlagCache.h"
#include "ui/FlagService.h"
#include "ui/TfrmChooseIP.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QComboBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QUuid>

#include <optional>

using testsupport::ScriptedHttpServer;
using Script = testsupport::ScriptedHttpServer::Reply;
using testsupport::waitUntil;

namespace {

// Every file below folder, with its full path.
QSet<QString> FilesBelow(const QString& folder)
{
    QSet<QString> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(it.next());
    return files;
}

// Command lines of every process of the machine that mention text.
QStringList ProcessesMentioning(const QByteArray& text)
{
    QStringList found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        QFile cmdline(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(text))
            found << pid;
    }
    return found;
}

class HostileService : public MainWindowFixture
{
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        flags.setDefaultReply(testsupport::ScriptedHttpServer::Reply::http(200, pngBytes(Qt::red)));
        writeConstants(flags.hostPort().toUtf8());
        start();
    }

    void TearDown() override
    {
        MainWindowFixture::TearDown();
        for (const QString& canary : canaries())
            QFile::remove(canary);
    }

    // Files a payload would create if it ever reached a shell or a program's options.
    QStringList canaries() const
    {
        QStringList files;
        for (const char* kind : {"sh", "bt", "opt", "curl", "url", "name"})
            files << QStringLiteral("/tmp/veilport-canary-%1-%2").arg(token, QLatin1String(kind));
        return files;
    }
    QString canary(const char* kind) const
    {
        return QStringLiteral("/tmp/veilport-canary-%1-%2").arg(token, QLatin1String(kind));
    }

    // Country names that climb out of a folder, name a file, carry options or shell code, or are too long.
    QStringList craftedCountries() const
    {
        return {QStringLiteral("../../x"),
                QStringLiteral("/etc/passwd"),
                QStringLiteral("--output=") + canary("opt"),
                QStringLiteral("$(touch ") + canary("sh") + QLatin1Char(')'),
                QStringLiteral("`touch ") + canary("bt") + QLatin1Char('`'),
                QStringLiteral(".."),
                QString(10240, QLatin1Char('N'))};
    }

    // Files that appeared below the temporary root since before, apart from the desktop's proxy
    // settings, which the program writes there by design.
    QStringList newFiles(const QSet<QString>& before) const
    {
        const QString desktopSettings = root.file(QStringLiteral("config/glib-2.0/settings/keyfile"));
        QStringList files;
        for (const QString& file : FilesBelow(root.path()) - before)
            if (file != desktopSettings)
                files << file;
        return files;
    }

    bool fetcherIdle(THTTPGet* fetcher)
    {
        return waitUntil([&] { return !fetcher || !fetcher->Busy(); }, 15000);
    }

    const QString token = QUuid::createUuid().toString(QUuid::Id128);
    testsupport::ScriptedHttpServer flags;
};

} // namespace

TEST_F(HostileService, CraftedCountryNamesAndFlagAddressesStayInsideTheSettingsFolder)
{
    const QString folder = settingsFolder();
    ASSERT_TRUE(folder.endsWith(QLatin1Char('/')));
    const QString good = flags.url(QStringLiteral("/flag.png"));
    const QStringList countries =
        craftedCountries() + QStringList{QStringLiteral("a") + QChar(0) + QStringLiteral("b"),
                                         QStringLiteral("line\nbreak"), QStringLiteral("..\\..\\win"),
                                         QStringLiteral("x; touch ") + canary("name")};
    const QStringList urls = {
        QStringLiteral("file:///etc/passwd"),
        QStringLiteral("http://127.0.0.1:1/../../"),
        QStringLiteral("-o") + canary("curl"),
        flags.url(QStringLiteral("/flag \"quoted\" 'single' $(touch ") + canary("url") + QStringLiteral(").png")),
        QStringLiteral("ftp://127.0.0.1/flag.png"),
        QStringLiteral("gopher://127.0.0.1/x"),
        good,
    };
    const QSet<QString> before = FilesBelow(root.path());
    const int requestsBefore = flags.requestCount();

    int round = 0;
    for (const QString& country : countries) {
        for (const QString& url : urls) {
            // Through the list, as the service delivers it: the own country and its flag address.
            const QString entry = QStringLiteral("127.0.2.%1:9|anon|%2|%3|1|2").arg(round % 250 + 1).arg(country, url);
            manager().ProxyListReceived(listText({entry}, QStringLiteral("1.2.3.4"), country, url));
            ASSERT_TRUE(fetcherIdle(engine->Flags().hglocal));
            engine->Flags().ShowProxyFlag(country, url);
            ASSERT_TRUE(fetcherIdle(engine->Flags().hgFlag));
            ++round;
        }
        // The country flag beside the country choice, from the service's own address.
        manager().ChooseCountry(country);
        form->ShowCountryFlag();
        EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(FlagCachePath(folder, country, "_small.png")); }, 15000))
            << qPrintable(country.left(40));
    }
    EXPECT_GT(flags.requestCount(), requestsBefore); // the web addresses were fetched

    const QSet<QString> after = FilesBelow(root.path());
    for (const QString& file : newFiles(before)) {
        EXPECT_TRUE(file.startsWith(folder)) << qPrintable(file);
        EXPECT_EQ(QFileInfo(file).absolutePath() + QLatin1Char('/'), folder) << qPrintable(file);
    }
    for (const QString& file : after) {
        QFile f(file);
        if (f.open(QIODevice::ReadOnly)) {
            EXPECT_FALSE(f.read(1 << 20).contains("root:x:0:0")) << "a local file was copied: " << qPrintable(file);
        }
    }
    for (const QString& file : canaries())
        EXPECT_FALSE(QFileInfo::exists(file)) << qPrintable(file);
    EXPECT_TRUE(ProcessesMentioning(token.toUtf8()).isEmpty());
    // Only web addresses reach the network: nothing asked for the payload of a non-web scheme.
    for (const QByteArray& request : flags.requests())
        EXPECT_FALSE(request.contains("passwd") && !request.contains("flag_small")) << request.left(200).constData();
}

TEST_F(HostileService, ChooseCountryDialogKeepsCraftedCountriesFlagsInTheSettingsFolder)
{
    const QString folder = settingsFolder();
    const QStringList countries = craftedCountries();
    QStringList entries;
    for (int i = 0; i < countries.size(); ++i)
        entries << QStringLiteral("192.0.2.%1:8080|anon|%2|%3|$(touch %4)|`touch %4`")
                       .arg(i + 1)
                       .arg(countries.at(i), flags.url(QStringLiteral("/images/flag/%1.png").arg(i)), canary("name"));
    manager().ProxyListReceived(listText(entries));
    ASSERT_TRUE(fetcherIdle(engine->Flags().hglocal));
    const QSet<QString> before = FilesBelow(root.path());

    TfrmChooseIP dialog(manager(), folder, flags.hostPort(), flags.hostPort());
    dialog.show();
    ASSERT_TRUE(fetcherIdle(dialog.hgFlag));                 // the flag of "Auto Selected" first
    ASSERT_GT(dialog.cbbCountry->count(), countries.size()); // "Auto Selected" and every crafted country
    for (int i = 1; i < dialog.cbbCountry->count(); ++i) {
        dialog.cbbCountry->setCurrentIndex(i);
        ASSERT_TRUE(fetcherIdle(dialog.hgFlag));
        const QString country = dialog.cbbCountry->itemText(i);
        EXPECT_TRUE(QFileInfo::exists(FlagCachePath(folder, country, QStringLiteral(".png"))))
            << qPrintable(country.left(40));
    }
    dialog.close();

    for (const QString& file : newFiles(before))
        EXPECT_EQ(QFileInfo(file).absolutePath() + QLatin1Char('/'), folder) << qPrintable(file);
    for (const QString& file : canaries())
        EXPECT_FALSE(QFileInfo::exists(file)) << qPrintable(file);
    EXPECT_TRUE(ProcessesMentioning(token.toUtf8()).isEmpty());
}

TEST_F(HostileService, FlagFromALocalFileAddressIsNeverFetched)
{
    const QString secret = root.write(QStringLiteral("secret/flag.png"), pngBytes(Qt::blue));
    for (const QString& url :
         {QStringLiteral("file://") + secret, QStringLiteral("FILE://") + secret, QStringLiteral("file:") + secret}) {
        manager().ProxyListReceived(listText({}, QStringLiteral("1.2.3.4"), QStringLiteral("Local"), url));
        ASSERT_TRUE(fetcherIdle(engine->Flags().hglocal));
        EXPECT_FALSE(QFileInfo::exists(FlagCachePath(settingsFolder(), QStringLiteral("Local"), "_small.png")))
            << qPrintable(url);
    }
}

namespace {

constexpr quint32 kInstanceClose = 2027;
constexpr quint32 kInstanceQueryId = 2135;

// The real program in a private home, pointed at a service host where every request (list, info
// page, flags, update check) gets headers and then a body that trickles in at a byte a second.
class TricklingServiceProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
        ASSERT_TRUE(
            service.start(Script().send(ScriptedHttpServer::httpHead(200, 1000000)).trickle(QByteArray(), 1000)));
        const QString guid = QUuid::createUuid().toString();
        channelName = QStringLiteral("Global\\") + guid;
        const QString host = service.hostPort();
        const QByteArray oem = QStringLiteral("[const]\nURL.ServiceHost=%1\nURL.SiteHost=%1\n"
                                              "URL.GETPROXY=http://%1/getproxy.php\nURL.InfoURL=http://%1/info.php\n"
                                              "URL.IPSEEKER=http://%1/ipseeker.php\nApp.GUID=%2\n")
                                   .arg(host, guid)
                                   .toUtf8();
        program = apptest::installProgramCopy(root.file(QStringLiteral("program")), oem);
        ASSERT_FALSE(program.isEmpty());
        testsupport::PrivateHome(root.path()).create();
        root.write(QStringLiteral("config/Veilport/UserFlag.ini"), "[Flag]\r\nAllUsers=0\r\n");
        root.write(QStringLiteral("config/Veilport/Setting.dat"), "[setting]\r\nSETUPFF=0\r\nFirstTimeRun=0\r\n");
    }

    void TearDown() override
    {
        if (copy.state() != QProcess::NotRunning) {
            copy.kill();
            copy.waitForFinished(5000);
        }
    }

    std::optional<qint32> send(quint32 message, int timeoutMs)
    {
        platform::UnixInstanceChannel client;
        return client.send(channelName, message, 0, {}, timeoutMs);
    }

    testsupport::TempDir root;
    ScriptedHttpServer service;
    QString channelName;
    QString program;
    QProcess copy;
};

} // namespace

TEST_F(TricklingServiceProgram, StaysResponsiveAndClosesPromptlyWhileEveryRequestTrickles)
{
    copy.setProcessEnvironment(testsupport::PrivateHome(root.path()).programEnvironment());
    copy.setStandardOutputFile(root.file(QStringLiteral("log.txt")));
    copy.setStandardErrorFile(root.file(QStringLiteral("log.txt")));
    copy.start(program, {});
    // The list request is under way and trickling.
    ASSERT_TRUE(apptest::waitUntil([&] { return service.requests().size() >= 1 && service.bytesSent() > 200; }, 60000))
        << root.read(QStringLiteral("log.txt")).toStdString();
    // The window's thread still answers at once.
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        const auto answer = send(kInstanceQueryId, 5000);
        ASSERT_TRUE(answer.has_value());
        EXPECT_LT(clock.elapsed(), 2000);
    }
    // Closing does not wait for requests that would take a million seconds.
    ASSERT_TRUE(send(kInstanceClose, 5000).has_value());
    EXPECT_TRUE(apptest::waitUntil([&] { return copy.state() == QProcess::NotRunning; }, 20000))
        << root.read(QStringLiteral("log.txt")).toStdString();
    EXPECT_EQ(copy.exitStatus(), QProcess::NormalExit);
}

TEST_F(HostileService, AFlagFileCutShortIsFetchedAgainInsteadOfStayingBroken)
{
    const QString cached = FlagCachePath(settingsFolder(), QStringLiteral("Canada"), QStringLiteral("_small.png"));
    QByteArray cut = pngBytes(Qt::blue);
    cut.truncate(cut.size() / 2);
    {
        QFile file(cached);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(cut);
    }
    // Other service requests of the start-up reach the same server; only the flag's own count here.
    const auto flagRequests = [&] {
        int count = 0;
        for (const QByteArray& request : flags.requests())
            count += request.startsWith("GET /flag/Canada.png ") ? 1 : 0;
        return count;
    };
    engine->Flags().ShowProxyFlag(QStringLiteral("Canada"), flags.url(QStringLiteral("/flag/Canada.png")));
    ASSERT_TRUE(fetcherIdle(engine->Flags().hgFlag));
    EXPECT_EQ(flagRequests(), 1);
    EXPECT_FALSE(LoadFlagImage(cached).isNull());

    // Once whole, the cached copy is used without asking again.
    engine->Flags().ShowProxyFlag(QStringLiteral("Canada"), flags.url(QStringLiteral("/flag/Canada.png")));
    EXPECT_EQ(flagRequests(), 1);
}
