#include "tor/TorController.h"
#include "tor/TorControlConnection.h"
#include "tor/TorProcess.h"

#include "support/EndsWithParent.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>

using testsupport::waitUntil;

namespace {

// Whether the process has ended (a zombie nobody has reaped yet counts as ended).
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype paren = text.lastIndexOf(')');
    return paren < 0 || text.mid(paren + 2, 1) == "Z";
}

// The live processes whose command line names folder: a tor started for it and left behind.
QList<qint64> processesUsing(const QString& folder)
{
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (numeric && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(folder.toLocal8Bit()) &&
            !processGone(pid))
            found << pid;
    }
    return found;
}

// Waits for one reply of a connection.
TorControlReply ask(TorControlConnection& connection, const QByteArray& command)
{
    std::optional<TorControlReply> answer;
    EXPECT_TRUE(connection.send(command, [&](const TorControlReply& reply) { answer = reply; })) << command.data();
    EXPECT_TRUE(waitUntil([&] { return answer.has_value(); }, 10000)) << command.data();
    return answer.value_or(TorControlReply());
}

class TorControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_options.program = TorOptions::findProgram();
        ASSERT_FALSE(m_options.program.isEmpty()) << "tor is not installed (scripts/setup installs it)";
        m_options.dataFolder = m_home.path() + QStringLiteral("/cache/Veilport/tor");
        // tor answers its control port but opens no other connection.
        m_options.extraConfig = {QStringLiteral("DisableNetwork 1")};
    }

    void TearDown() override { EXPECT_TRUE(processesUsing(m_home.path()).isEmpty()) << "a tor was left running"; }

    // Starts tor and waits until its control port is in use; the pid of the tor.
    qint64 startUntilControlReady(TorController& tor)
    {
        QSignalSpy ready(&tor, &TorController::controlReady);
        QSignalSpy failed(&tor, &TorController::failed);
        tor.start();
        EXPECT_TRUE(waitUntil([&] { return !ready.isEmpty() || !failed.isEmpty(); }, 30000));
        EXPECT_TRUE(failed.isEmpty()) << failed.value(0).value(0).toString().toStdString();
        return tor.processId();
    }

    // A second control connection to the tor, as anyone holding its cookie could open one.
    std::unique_ptr<TorControlConnection> observe()
    {
        const QString folder = m_options.dataFolder;
        QFile cookie(TorProcess::cookieFile(folder));
        EXPECT_TRUE(cookie.open(QIODevice::ReadOnly));
        auto connection = std::make_unique<TorControlConnection>();
        QSignalSpy authenticated(connection.get(), &TorControlConnection::authenticated);
        connection->open(TorProcess::readControlPortFile(TorProcess::controlPortFile(folder)), cookie.readAll());
        EXPECT_TRUE(authenticated.wait(10000));
        return connection;
    }

    testsupport::TempDir m_home;
    TorOptions m_options;
};

TEST_F(TorControllerTest, SteersARealTorOverItsControlPort)
{
    TorController tor(m_options);
    QSignalSpy progress(&tor, &TorController::bootstrapProgress);
    const qint64 pid = startUntilControlReady(tor);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(tor.state(), TorController::State::Bootstrapping);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_LT(progress.last().at(0).toInt(), 100);
    EXPECT_EQ(std::filesystem::status(m_options.dataFolder.toStdString()).permissions(),
              std::filesystem::perms::owner_all);

    const std::unique_ptr<TorControlConnection> observer = observe();
    EXPECT_EQ(ask(*observer, "GETINFO process/pid").value("process/pid").toLongLong(), pid);

    // Country choice, as tor's own configuration shows it.
    QString error = QStringLiteral("not called");
    tor.setExitCountry(QStringLiteral("DE"), [&](QString e) { error = e; });
    ASSERT_TRUE(waitUntil([&] { return error.isEmpty(); }, 10000)) << error.toStdString();
    TorControlReply conf = ask(*observer, "GETCONF ExitNodes StrictNodes");
    EXPECT_EQ(conf.value("ExitNodes"), "{de}");
    EXPECT_EQ(conf.value("StrictNodes"), "1");
    error = QStringLiteral("not called");
    tor.setExitCountry(QString(), [&](QString e) { error = e; });
    ASSERT_TRUE(waitUntil([&] { return error.isEmpty(); }, 10000)) << error.toStdString();
    conf = ask(*observer, "GETCONF ExitNodes StrictNodes");
    EXPECT_EQ(conf.value("ExitNodes"), "");
    EXPECT_EQ(conf.value("StrictNodes"), "0");

    // Countries from tor's own address database.
    QMap<QString, QString> countries;
    for (const QString& address :
         {QStringLiteral("8.8.8.8"), QStringLiteral("2001:4860:4860::8888"), QStringLiteral("10.0.0.1")})
        tor.countryOf(address, [&, address](QString country, QString e) {
            countries.insert(address, e.isEmpty() ? country : QStringLiteral("error: ") + e);
        });
    ASSERT_TRUE(waitUntil([&] { return countries.size() == 3; }, 10000));
    EXPECT_EQ(countries.value(QStringLiteral("8.8.8.8")), QStringLiteral("us"));
    EXPECT_EQ(countries.value(QStringLiteral("2001:4860:4860::8888")), QStringLiteral("us"));
    EXPECT_EQ(countries.value(QStringLiteral("10.0.0.1")), QString());

    // Without network tor holds no consensus, so it knows no exits yet.
    std::optional<QString> exitError;
    QStringList exits{QStringLiteral("not called")};
    tor.exitCountries([&](QStringList list, QString e) {
        exits = list;
        exitError = e;
    });
    ASSERT_TRUE(waitUntil([&] { return exitError.has_value(); }, 10000));
    EXPECT_EQ(*exitError, QString());
    EXPECT_TRUE(exits.isEmpty());

    // A new identity at once; the next one within tor's ten seconds is delayed, said so, then done.
    QSignalSpy changed(&tor, &TorController::identityChanged);
    QSignalSpy delayed(&tor, &TorController::identityDelayed);
    ASSERT_TRUE(tor.newIdentity());
    ASSERT_TRUE(changed.wait(5000));
    ASSERT_TRUE(tor.newIdentity());
    EXPECT_TRUE(tor.newIdentity()); // joins the one under way
    ASSERT_TRUE(waitUntil([&] { return changed.size() == 2; }, 15000));
    ASSERT_EQ(delayed.size(), 1);
    EXPECT_GT(delayed.first().first().toInt(), 0);
    EXPECT_LE(delayed.first().first().toInt(), 10);
    EXPECT_FALSE(changed.wait(1500));

    // Stopping ends tor; starting again at once waits for it and takes over the same data folder.
    QSignalSpy stopped(&tor, &TorController::stopped);
    tor.stop();
    const qint64 again = startUntilControlReady(tor);
    EXPECT_TRUE(processGone(pid));
    EXPECT_NE(again, pid);
    tor.stop();
    ASSERT_TRUE(stopped.wait(10000));
    EXPECT_TRUE(processGone(again));
    EXPECT_EQ(tor.state(), TorController::State::Stopped);
}

TEST_F(TorControllerTest, BootstrapThatNeverFinishesFailsAtTheDeadline)
{
    m_options.bootstrapTimeoutMs = 3000;
    TorController tor(m_options);
    QSignalSpy failed(&tor, &TorController::failed);
    QSignalSpy ready(&tor, &TorController::ready);
    const qint64 pid = startUntilControlReady(tor);
    ASSERT_TRUE(failed.wait(10000));
    const QString message = failed.first().first().toString();
    EXPECT_TRUE(message.contains(QLatin1String("within 3 seconds (it got to 0 %"))) << message.toStdString();
    EXPECT_EQ(tor.state(), TorController::State::Failed);
    EXPECT_TRUE(ready.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return processGone(pid); }, 5000));
}

TEST_F(TorControllerTest, TorThatDiesIsReported)
{
    TorController tor(m_options);
    QSignalSpy failed(&tor, &TorController::failed);
    const qint64 pid = startUntilControlReady(tor);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
    ASSERT_TRUE(failed.wait(10000));
    const QString message = failed.first().first().toString();
    EXPECT_TRUE(message.contains(QLatin1String("Tor stopped unexpectedly (ended by a signal)")))
        << message.toStdString();
    EXPECT_EQ(tor.state(), TorController::State::Failed);
    EXPECT_FALSE(tor.newIdentity());
    QString error;
    tor.countryOf(QStringLiteral("8.8.8.8"), [&](QString, QString e) { error = e; });
    EXPECT_TRUE(waitUntil([&] { return !error.isEmpty(); }, 5000));
}

struct BrokenStart
{
    const char* name;
    void (*prepare)(testsupport::TempDir&, TorOptions&);
    const char* message;
};

class TorStartFailure : public TorControllerTest, public ::testing::WithParamInterface<BrokenStart>
{
};

// A start that cannot succeed fails with a message that names the cause, and leaves nothing running.
TEST_P(TorStartFailure, IsReportedClearly)
{
    GetParam().prepare(m_home, m_options);
    TorController tor(m_options);
    QSignalSpy failed(&tor, &TorController::failed);
    tor.start();
    ASSERT_TRUE(failed.wait(30000));
    const QString message = failed.first().first().toString();
    EXPECT_TRUE(message.contains(QLatin1String(GetParam().message))) << message.toStdString();
    EXPECT_EQ(tor.state(), TorController::State::Failed);
    EXPECT_TRUE(waitUntil([&] { return processesUsing(m_home.path()).isEmpty(); }, 5000));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, TorStartFailure,
    ::testing::Values(
        BrokenStart{"NoTorProgram",
                    [](testsupport::TempDir& home, TorOptions& options) { options.program = home.file("no-tor"); },
                    "Cannot start Tor"},
        // The cache folder cannot hold a data folder: a file has its name.
        BrokenStart{"DataFolderCannotBeMade",
                    [](testsupport::TempDir& home, TorOptions&) { home.write("cache/Veilport", "a file"); },
                    "as Tor's data folder: Not a directory"},
        // tor cannot write into its data folder (the tests run as root, for whom no mode makes a folder
        // unwritable; a folder where tor's cookie file belongs does the same to tor).
        BrokenStart{"DataFolderUnwritableForTor",
                    [](testsupport::TempDir&, TorOptions& options) {
                        QDir().mkpath(TorProcess::cookieFile(options.dataFolder));
                    },
                    "Tor stopped unexpectedly (exit code 1): "}),
    [](const ::testing::TestParamInfo<BrokenStart>& info) { return std::string(info.param.name); });

// Veilport killed outright (a crash) leaves no tor behind: tor ends with its owner's control connection.
TEST_F(TorControllerTest, TorEndsWhenVeilportIsKilled)
{
    QProcess owner;
    testsupport::EndsWithParent(owner);
    owner.start(QStringLiteral(TOR_OWNER_HELPER), {m_options.dataFolder});
    ASSERT_TRUE(owner.waitForStarted(10000));
    ASSERT_TRUE(waitUntil([&] { return owner.canReadLine() || owner.state() == QProcess::NotRunning; }, 30000));
    const QByteArray line = owner.readLine().trimmed();
    ASSERT_TRUE(line.startsWith("tor-pid ")) << line.data() << owner.readAllStandardError().data();
    const qint64 torPid = line.mid(8).toLongLong();
    ASSERT_FALSE(processGone(torPid));

    owner.kill();
    ASSERT_TRUE(owner.waitForFinished(10000));
    EXPECT_TRUE(waitUntil([&] { return processGone(torPid); }, 20000, 20));
}

} // namespace
