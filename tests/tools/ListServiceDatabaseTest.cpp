// The list service keeps answering whatever its database does: a source of 100,000 proxies being stored,
// a file another program holds locked, a server whose writes crawl. Driven as a host runs it: the real
// service, a real SQLite file and a real PostgreSQL server.
#include "HttpExchange.h"
#include "StoreWriter.h"
#include "support/HangingProxies.h"
#include "support/ListServiceFixture.h"
#include "support/PostgresFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFarm.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

using testsupport::ListServiceFixture;
using testsupport::TempDir;
using testsupport::TinyproxyFixture;

namespace {

// Generous for a loaded two-core machine; storing the large source on the thread that answers took
// several seconds.
constexpr qint64 kAnswerBoundMs = 1000;
constexpr int kStoreWaitMs = 120000;

// A second connection to the service's database, as another program (or an operator's sqlite3 or psql)
// opens it.
class SideConnection
{
public:
    explicit SideConnection(const QString& file)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        db.open();
    }
    explicit SideConnection(const testsupport::PostgresFixture& pg)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(pg.port());
        db.setUserName(QStringLiteral("veilport"));
        db.setDatabaseName(QStringLiteral("postgres"));
        db.open();
    }
    ~SideConnection()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    // The first value of a query; -1 when it fails.
    qint64 count(const QString& sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        return q.exec(sql) && q.next() ? q.value(0).toLongLong() : -1;
    }
    bool exec(const QString& sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        const bool ok = q.exec(sql);
        m_error = q.lastError().text();
        return ok;
    }
    QString error() const { return m_error; }
    // The first column of every row; empty when the query fails.
    QStringList column(const QString& sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        QStringList out;
        if (q.exec(sql))
            while (q.next())
                out << q.value(0).toString();
        return out;
    }

private:
    const QString m_name = QStringLiteral("side");
    QString m_error;
};

// A value of /metrics; -1 when absent.
double Metric(const ListServiceFixture& service, const QString& name)
{
    const QString text = QString::fromUtf8(Get(service.port(), "/metrics").body);
    const auto m = QRegularExpression(QRegularExpression::escape(name) + QStringLiteral(" ([0-9.e+]+)\n")).match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

QString Health(const ListServiceFixture& service)
{
    return QString::fromUtf8(Get(service.port(), "/health").body);
}

// A value of /health; empty when absent.
QString HealthValue(const ListServiceFixture& service, const QString& name)
{
    const auto m =
        QRegularExpression(QStringLiteral("(?:^|\n)") + QRegularExpression::escape(name) + QStringLiteral("=([^\n]*)"))
            .match(Health(service));
    return m.hasMatch() ? m.captured(1) : QString();
}

// The slowest answer to /health and the list while waiting for done, in ms; -1 when done never came.
qint64 SlowestAnswerUntil(const ListServiceFixture& service, const std::function<bool()>& done, int timeoutMs)
{
    qint64 slowest = 0;
    const bool came = testsupport::waitUntil(
        [&] {
            for (const QByteArray path : {"/health", "/getproxy.php"}) {
                QElapsedTimer t;
                t.start();
                EXPECT_EQ(Get(service.port(), path).status, 200) << path.constData();
                slowest = std::max(slowest, qint64(t.elapsed()));
            }
            return done();
        },
        timeoutMs);
    return came ? slowest : -1;
}

// A tmpfs of a given size, mounted for the life of the object (root only), that can be made larger.
class SmallDisk
{
public:
    SmallDisk(const QString& path, const char* size) : m_path(QFile::encodeName(path))
    {
        m_mounted = geteuid() == 0 && ::mount("tmpfs", m_path.constData(), "tmpfs", 0, size) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    bool grow(const char* size) { return ::mount("tmpfs", m_path.constData(), "tmpfs", MS_REMOUNT, size) == 0; }

private:
    QByteArray m_path;
    bool m_mounted = false;
};

// Loopback addresses where nothing listens: each check of them fails at once.
QByteArray DeadProxies(int count)
{
    QByteArray list;
    for (int i = 0; i < count; ++i)
        list += QStringLiteral("127.%1.%2.%3:9\n").arg(10 + i / 62500).arg(i / 250 % 250).arg(i % 250 + 1).toUtf8();
    return list;
}

double ChecksCounted(const ListServiceFixture& service)
{
    return Metric(service, QStringLiteral("veilport_checks_total{outcome=\"passed\"}")) +
           Metric(service, QStringLiteral("veilport_checks_total{outcome=\"failed\"}"));
}

} // namespace

TEST(ListServiceDatabase, AnswersWithinASecondWhileItStoresAHundredThousandProxies)
{
    TempDir tmp;
    // Loopback addresses where nothing listens: each check fails at once, so the checks' own writes
    // pile onto the storing too.
    const QByteArray list = DeadProxies(100000);
    const QString database = tmp.file("proxies.db");
    ListServiceFixture::Options options;
    options.extraConfig = {"Database=" + database, "Source=big|plain|" + tmp.write("big.txt", list) + "|86400|8000000",
                           "AllowPrivateAddresses=on", "CheckConcurrency=200", "CheckTimeout=5"};
    ListServiceFixture service;
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();

    SideConnection side(database);
    const qint64 slowest = SlowestAnswerUntil(
        service,
        [&] {
            return side.count(QStringLiteral("SELECT count(*) FROM proxies")) == 100000 &&
                   side.count(QStringLiteral("SELECT count(*) FROM checks")) > 0;
        },
        kStoreWaitMs);
    ASSERT_GE(slowest, 0) << side.count(QStringLiteral("SELECT count(*) FROM proxies")) << " stored\n"
                          << service.errorOutput().toStdString();
    EXPECT_LT(slowest, kAnswerBoundMs);
    EXPECT_TRUE(Health(service).contains("\nproxies=100000\n")) << Health(service).toStdString();
}

// Another program holding the file locked makes writes fail for a while: the service says so on /health,
// keeps answering, and writes every check it counted once the lock goes.
TEST(ListServiceDatabase, ALockedFileIsReportedAndEveryCheckIsWrittenOnceTheLockGoes)
{
    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(2)) << proxies.errorText().toStdString();
    TempDir tmp;
    const QString database = tmp.file("proxies.db");
    ListServiceFixture::Options options;
    options.extraConfig = {"Database=" + database, "AllowPrivateAddresses=on", "CheckInterval=10", "CheckTimeout=5",
                           "Source=list|plain|" +
                               tmp.write("list.txt", (proxies.proxyText(0) + "\n" + proxies.proxyText(1)).toUtf8())};
    ListServiceFixture service;
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();
    SideConnection side(database);
    const QString passed = QStringLiteral("veilport_checks_total{outcome=\"passed\"}");
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return side.count(QStringLiteral("SELECT count(*) FROM checks")) == 2; }, 30000))
        << service.errorOutput().toStdString();

    ASSERT_TRUE(side.exec(QStringLiteral("BEGIN EXCLUSIVE"))) << side.error().toStdString();
    // The next round of checks (ten seconds on) cannot be written.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return Metric(service, passed) >= 4 && Health(service).contains("database=error: "); }, 60000))
        << Health(service).toStdString();
    QElapsedTimer t;
    t.start();
    const QString health = Health(service);
    EXPECT_LT(t.elapsed(), kAnswerBoundMs);
    EXPECT_TRUE(health.contains("locked")) << health.toStdString();
    EXPECT_TRUE(QString::fromUtf8(Get(service.port(), "/getproxy.php").body).contains(proxies.proxyText(0)));
    const double counted = Metric(service, passed);
    ASSERT_TRUE(side.exec(QStringLiteral("ROLLBACK"))) << side.error().toStdString();

    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return Health(service).contains("database=ok\n") &&
                   side.count(QStringLiteral("SELECT count(*) FROM checks")) >= qint64(counted);
        },
        30000))
        << Health(service).toStdString() << side.count(QStringLiteral("SELECT count(*) FROM checks")) << " of "
        << counted;
}

// Every check a server writes slowly (a trigger that sleeps): the answers do not wait for it, and the checks
// reach the database all the same.
TEST(ListServiceDatabase, ASlowPostgreSqlServerHoldsUpNoAnswer)
{
    testsupport::PostgresFixture pg;
    if (!pg.start())
        GTEST_SKIP() << pg.errorText().toStdString();
    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(2)) << proxies.errorText().toStdString();
    TempDir tmp;
    ListServiceFixture::Options options;
    options.extraConfig = {"Database=" + pg.url(), "AllowPrivateAddresses=on", "CheckInterval=10", "CheckTimeout=5",
                           "Source=list|plain|" +
                               tmp.write("list.txt", (proxies.proxyText(0) + "\n" + proxies.proxyText(1)).toUtf8())};
    ListServiceFixture service;
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();
    SideConnection side(pg);
    const QString checks = QStringLiteral("SELECT count(*) FROM checks");
    ASSERT_TRUE(testsupport::waitUntil([&] { return side.count(checks) == 2; }, 30000))
        << side.count(checks) << service.errorOutput().toStdString();
    ASSERT_TRUE(side.exec(QStringLiteral("CREATE FUNCTION crawl() RETURNS trigger AS $$ BEGIN PERFORM pg_sleep(1.5); "
                                         "RETURN NEW; END $$ LANGUAGE plpgsql")))
        << side.error().toStdString();
    ASSERT_TRUE(
        side.exec(QStringLiteral("CREATE TRIGGER crawl BEFORE INSERT ON checks FOR EACH ROW EXECUTE FUNCTION crawl()")))
        << side.error().toStdString();

    // The next round, ten seconds on, takes three seconds to write, and /health says so meanwhile.
    bool named = false;
    const qint64 slowest = SlowestAnswerUntil(
        service,
        [&] {
            named = named || Health(service).contains(QRegularExpression("\ndatabase.slow=[^\n]+ s\n"));
            return side.count(checks) >= 4;
        },
        60000);
    ASSERT_GE(slowest, 0) << side.count(checks) << service.errorOutput().toStdString();
    EXPECT_LT(slowest, kAnswerBoundMs);
    EXPECT_TRUE(named) << "a slow database is named on /health";
    EXPECT_TRUE(Health(service).contains("database=ok\n")) << Health(service).toStdString();
}

// Two instances on one PostgreSQL database split the checks between them; the leases of one that freezes
// return to the other, which finishes the round, and the frozen one's results, once it thaws, do not go over
// the newer ones.
TEST(ListServiceDatabase, InstancesShareTheChecksAndAFrozenInstancesLeasesReturn)
{
    testsupport::PostgresFixture pg;
    if (!pg.start())
        GTEST_SKIP() << pg.errorText().toStdString();
    testsupport::TinyproxyFarm working;
    ASSERT_TRUE(working.start(1)) << working.errorText().toStdString();
    testsupport::HangingProxies hanging;
    ASSERT_TRUE(hanging.start()) << hanging.errorText().toStdString();
    constexpr int kWorking = 4;
    constexpr int kHanging = 60;
    QByteArray list;
    for (int i = 0; i < kWorking; ++i)
        list += working.proxyText(i).toUtf8() + '\n';
    for (int i = 0; i < kHanging; ++i)
        list += hanging.proxyText(i).toUtf8() + '\n';
    TempDir tmp;
    ListServiceFixture::Options options;
    // Each hanging proxy holds a place for the two-second time limit; one round, no second one.
    options.extraConfig = {"Database=" + pg.url(), "AllowPrivateAddresses=on",
                           "CheckInterval=3600",   "CheckTimeout=2",
                           "CheckConcurrency=8",   "Source=list|plain|" + tmp.write("list.txt", list)};
    ListServiceFixture first;
    ASSERT_TRUE(first.start({}, options)) << first.errorText().toStdString();
    ListServiceFixture second;
    ASSERT_TRUE(second.start({}, options)) << second.errorText().toStdString();
    const QString firstId = HealthValue(first, "instance");
    const QString secondId = HealthValue(second, "instance");
    ASSERT_FALSE(firstId.isEmpty());
    ASSERT_NE(firstId, secondId);
    SideConnection side(pg);
    const QString leasedBySecond = QStringLiteral("SELECT id FROM proxies WHERE lease_owner = '%1'").arg(secondId);
    const QString writtenBySecond = QStringLiteral("SELECT count(*) FROM checks WHERE checked_by = '%1'").arg(secondId);

    // Both take a share while the round lasts. The second's share counts once written: a check it counted but
    // still held in a batch when it froze is refused after the thaw, its lease having passed to the first.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return HealthValue(first, "checks.minute").toInt() > 0 && side.count(writtenBySecond) > 0 &&
                   !side.column(leasedBySecond).isEmpty();
        },
        60000, 20))
        << Health(first).toStdString() << Health(second).toStdString() << second.errorOutput().toStdString();
    // It freezes in the middle of writing a batch, its transaction open on the rows it wrote: the server holds
    // its next check a while, so the freeze lands there rather than wherever the clock happens to put it.
    ASSERT_TRUE(side.exec(QStringLiteral("CREATE FUNCTION hold() RETURNS trigger AS $$ BEGIN IF NEW.checked_by = "
                                         "'%1' THEN PERFORM pg_sleep(2); END IF; RETURN NEW; END $$ LANGUAGE plpgsql")
                              .arg(secondId)))
        << side.error().toStdString();
    ASSERT_TRUE(
        side.exec(QStringLiteral("CREATE TRIGGER hold BEFORE INSERT ON checks FOR EACH ROW EXECUTE FUNCTION hold()")))
        << side.error().toStdString();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return side.count(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'")) > 0;
        },
        30000, 5))
        << "the second instance wrote no further check" << Health(second).toStdString();
    ASSERT_EQ(kill(pid_t(second.processId()), SIGSTOP), 0);
    const QStringList frozen = side.column(leasedBySecond);
    ASSERT_FALSE(frozen.isEmpty()) << "the second instance held no lease when it froze";

    // The first finishes the round, the frozen instance's proxies too once their leases run out.
    const QString unchecked =
        QStringLiteral("SELECT count(*) FROM proxies WHERE id NOT IN (SELECT proxy_id FROM checks)");
    const bool finished = testsupport::waitUntil([&] { return side.count(unchecked) == 0; }, 90000, 50);
    kill(pid_t(second.processId()), SIGCONT);
    ASSERT_TRUE(finished) << side.count(unchecked) << " unchecked\n" << first.errorOutput().toStdString();
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM proxies")), kWorking + kHanging);
    const QString frozenIds = frozen.join(QLatin1Char(','));
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM checks WHERE proxy_id IN (%1) AND checked_by = '%2'")
                             .arg(frozenIds, firstId)),
              frozen.size());
    EXPECT_GT(side.count(writtenBySecond), 0);

    // Thawed, the second instance's checks end in failures of its own making (their time ran out while it
    // stood still): refused, since the first checked those proxies after their leases ran out.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return Metric(second, QStringLiteral("veilport_check_results_dropped_total")) >= 1; }, 30000, 20))
        << Health(second).toStdString() << second.errorOutput().toStdString();
    EXPECT_TRUE(testsupport::waitUntil([&] { return second.errorOutput().contains("whose newer checks stand"); }))
        << second.errorOutput().toStdString();
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM (SELECT proxy_id FROM checks GROUP BY proxy_id "
                                        "HAVING count(*) > 1) AS twice")),
              0);
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM proxies WHERE lease_owner IS NOT NULL")), 0);
    // Each instance tells its own share beside every instance's.
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            return HealthValue(second, "checks.minute.all").toLongLong() >
                       HealthValue(second, "checks.minute").toLongLong() &&
                   HealthValue(second, "checkers.minute") == QLatin1String("2");
        },
        10000, 20))
        << Health(second).toStdString();
}

// The disk fills in the middle of the first batch (30,000 new proxies on a disk of one megabyte): the service
// keeps answering with the proxies that pass, says on /health that the disk is full, keeps every change, and
// writes them all, every check it counted among them, once the disk has room.
// An instance whose lease ran out while it checked leaves the proxy to the instance that took it over, its history
// included, even when its own verdict was to forget the proxy.
TEST(ListServiceDatabase, AnExpiredLeasesVerdictToForgetAProxyLeavesItAndItsHistoryAlone)
{
    testsupport::PostgresFixture pg;
    if (!pg.start())
        GTEST_SKIP() << pg.errorText().toStdString();
    StoreWriter writer(1000);
    writer.setInstance(QStringLiteral("frozen"));
    StoreContents contents;
    QString error;
    ASSERT_EQ(writer.open(pg.url(), error, contents), StoreWriter::Opened::Ok) << error.toStdString();
    SideConnection side(pg);
    ASSERT_TRUE(side.exec(QStringLiteral("INSERT INTO proxies (id, host, port, next_check, failures, last_ok) "
                                         "VALUES (7, '10.0.0.7', 3128, 0, 4, 0)")))
        << side.error().toStdString();
    ASSERT_TRUE(side.exec(QStringLiteral("INSERT INTO checks (proxy_id, at, ok) VALUES (7, 1000, 1)")));
    const QList<CheckLease> leases = writer.lease(1, QDateTime::currentSecsSinceEpoch(), 60000);
    ASSERT_EQ(leases.size(), 1);
    // Its lease ran out, and another instance leased the proxy.
    ASSERT_TRUE(side.exec(QStringLiteral("UPDATE proxies SET lease_owner = 'other', lease_until = lease_until + 1")));

    StoreChange::LeasedResult result;
    result.lease = leases.first();
    result.instance = QStringLiteral("frozen");
    result.check = CheckRecord{QDateTime::currentSecsSinceEpoch(), false, 0, QString(), QStringLiteral("timeout")};
    result.drop = true;
    writer.enqueue({result});
    writer.close(); // writes what is queued
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM proxies WHERE id = 7")), 1);
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM checks WHERE proxy_id = 7")), 1);
}

TEST(ListServiceDatabase, ADiskThatFillsIsNamedOnHealthAndNoCheckIsLost)
{
    TempDir tmp;
    QDir().mkpath(tmp.file("disk"));
    SmallDisk disk(tmp.file("disk"), "size=1m");
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(1)) << proxies.errorText().toStdString();
    constexpr int kDead = 30000;
    const QString database = tmp.file("disk/proxies.db");
    ListServiceFixture::Options options;
    options.extraConfig = {"Database=" + database, "AllowPrivateAddresses=on", "CheckTimeout=5",
                           "Source=list|plain|" +
                               tmp.write("list.txt", proxies.proxyText(0).toUtf8() + '\n' + DeadProxies(kDead)) +
                               "|86400|8000000"};
    ListServiceFixture service;
    ASSERT_TRUE(service.start({}, options)) << service.errorText().toStdString();

    const qint64 slowest = SlowestAnswerUntil(
        service,
        [&] {
            const QString health = Health(service);
            return health.contains(QRegularExpression("database=error: [^\n]*full")) &&
                   health.contains(QRegularExpression("database.unwritten=[1-9]")) &&
                   Get(service.port(), "/getproxy.php").body.contains(proxies.proxyText(0).toUtf8()) &&
                   ChecksCounted(service) > 1000;
        },
        kStoreWaitMs);
    ASSERT_GE(slowest, 0) << Health(service).toStdString() << service.errorOutput().toStdString();
    EXPECT_LT(slowest, kAnswerBoundMs);

    const double counted = ChecksCounted(service);
    ASSERT_TRUE(disk.grow("size=256m"));
    SideConnection side(database);
    const qint64 slowestAfter = SlowestAnswerUntil(
        service,
        [&] {
            return Health(service).contains("database=ok\n") &&
                   side.count(QStringLiteral("SELECT count(*) FROM checks")) >= qint64(counted);
        },
        kStoreWaitMs);
    ASSERT_GE(slowestAfter, 0) << Health(service).toStdString() << side.count("SELECT count(*) FROM checks")
                               << " checks of " << counted;
    EXPECT_LT(slowestAfter, kAnswerBoundMs);
    EXPECT_EQ(side.count(QStringLiteral("SELECT count(*) FROM proxies")), kDead + 1);
}
