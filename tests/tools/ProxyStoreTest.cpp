// The list service's store: its SQLite file carried across schema versions and restarts, and the
// ranking the list answer is cut from.
#include "ProxyRanking.h"
#include "ProxyStore.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <gtest/gtest.h>

using testsupport::TempDir;

namespace {

SourceEntry Entry(const QString& host, const QString& country)
{
    SourceEntry e;
    e.host = host;
    e.port = 8080;
    e.country = country;
    return e;
}

CheckRecord Check(qint64 at, bool ok, int latencyMs)
{
    return CheckRecord{at, ok, latencyMs, ok ? QStringLiteral("elite") : QString(), QString()};
}

// Writes a database as the first schema left it: one proxy that passed once.
void WriteSchemaOne(const QString& file)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("schema-one"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const char* sql :
             {"CREATE TABLE schema_version (version INTEGER NOT NULL)", "INSERT INTO schema_version VALUES (1)",
              "CREATE TABLE sources (name TEXT PRIMARY KEY, location TEXT, last_fetch BIGINT, last_ok BIGINT, "
              "last_error TEXT, entries INTEGER)",
              "CREATE TABLE proxies (id BIGINT PRIMARY KEY, host TEXT NOT NULL, port INTEGER NOT NULL, source TEXT, "
              "country TEXT, info TEXT, flag_url TEXT, longitude TEXT, latitude TEXT, added BIGINT, next_check "
              "BIGINT, failures INTEGER, last_ok BIGINT, anonymity TEXT, UNIQUE (host, port))",
              "CREATE TABLE checks (proxy_id BIGINT NOT NULL, at BIGINT NOT NULL, ok INTEGER NOT NULL, latency_ms "
              "INTEGER, anonymity TEXT, reason TEXT)",
              "INSERT INTO proxies VALUES (7, '10.0.0.7', 3128, 'old', 'Chile', '', '', '', '', 1000, 2000, 0, "
              "1000, 'elite')",
              "INSERT INTO checks VALUES (7, 1000, 1, 120, 'elite', '')"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
    }
    QSqlDatabase::removeDatabase(QStringLiteral("schema-one"));
}

} // namespace

TEST(ProxyStore, CarriesAnOlderSchemaForwardAndKeepsHistoryAcrossRestarts)
{
    TempDir tmp;
    const QString file = tmp.file("proxies.db");
    WriteSchemaOne(file);
    {
        ProxyStore store(100);
        QString error;
        ASSERT_TRUE(store.open(file, error)) << error.toStdString();
        ASSERT_EQ(store.size(), 1);
        const StoredProxy* old = store.find(7);
        ASSERT_NE(old, nullptr);
        EXPECT_EQ(old->entry.key(), "10.0.0.7:3128");
        EXPECT_EQ(old->recent.size(), 1u);
        EXPECT_EQ(store.replaceSource("list", {Entry("10.0.0.8", "Chile")}, 5000), 1);
        const qint64 added = store.due(5000, 10).last();
        EXPECT_NE(added, 7) << "a new proxy takes an id the old ones never had";
        store.recordCheck(added, Check(5000, true, 80), 3, 600);
    }
    {
        ProxyStore store(100);
        QString error;
        ASSERT_TRUE(store.open(file, error)) << error.toStdString();
        ASSERT_EQ(store.size(), 2);
        const QList<const StoredProxy*> best = store.best(0, 10);
        ASSERT_EQ(best.size(), 2);
        EXPECT_EQ(best[0]->entry.key(), "10.0.0.8:8080") << "faster among equally reliable proxies";
        EXPECT_EQ(best[0]->nextCheck, 5600);
    }
    // A file written by a newer service is refused rather than misread.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bump"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(QStringLiteral("UPDATE schema_version SET version = 99"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bump"));
    ProxyStore newer(100);
    QString error;
    EXPECT_FALSE(newer.open(file, error));
    EXPECT_EQ(error, "database schema 99 is newer than this service (5)");
}

TEST(ProxyStore, RanksByRecentSuccessThenLatencyAndDropsProxiesThatKeepFailing)
{
    ProxyStore store(3);
    EXPECT_EQ(store.replaceSource("a",
                                  {Entry("10.0.0.1", "Peru"), Entry("10.0.0.2", "Peru"), Entry("10.0.0.3", "Peru"),
                                   Entry("10.0.0.4", "Peru")},
                                  100),
              3)
        << "never more proxies than the store may hold";
    // 1: always passes slowly; 2: passes fast but failed once; 3: fails every time.
    for (qint64 t = 100; t < 400; t += 100) {
        store.recordCheck(1, Check(t, true, 900), 3, 10);
        store.recordCheck(2, Check(t, t != 200, 50), 3, 10);
        store.recordCheck(3, Check(t, false, 0), 3, 10);
    }
    QStringList order;
    for (const StoredProxy* p : store.best(0, 10))
        order << p->entry.host;
    EXPECT_EQ(order, (QStringList{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(store.best(0, 1).size(), 1) << "ListSize per country";
    EXPECT_EQ(store.best(301, 10).size(), 0) << "a pass older than the freshness limit is not served";
    EXPECT_EQ(store.find(3), nullptr) << "three failures in a row drop a proxy";

    // A failing proxy is asked less and less often.
    store.recordCheck(2, Check(1000, false, 0), 5, 10);
    EXPECT_EQ(store.find(2)->nextCheck, 1010);
    store.recordCheck(2, Check(1010, false, 0), 5, 10);
    EXPECT_EQ(store.find(2)->nextCheck, 1030);

    // A source that no longer names a proxy takes it away.
    store.replaceSource("a", {Entry("10.0.0.2", "Peru")}, 2000);
    EXPECT_EQ(store.size(), 1);
}

// The ranking is sorted on a pool thread and swapped in later; a proxy the store frees meanwhile (whose memory
// the next new proxy may well reuse) must never be served from it, nor a proxy twice.
TEST(ProxyStore, ARankingSwappedInLaterNeverServesAProxyFreedMeanwhile)
{
    std::map<qint64, StoredProxy> proxies;
    auto pass = [&](qint64 id, int latencyMs) {
        StoredProxy& p = proxies[id];
        p.id = id;
        p.lastOk = 100;
        p.recent.push_back(Check(100, true, latencyMs));
    };
    pass(1, 300);
    pass(2, 200);
    ProxyRanking ranking;
    // Each id the order serves, skipping what it says is gone; duplicates and strangers would show.
    auto served = [&] {
        QList<qint64> ids;
        for (const StoredProxy* p : ranking.order(proxies, 0)) {
            if (!ranking.gone(p))
                ids << (proxies.count(p->id) && &proxies.at(p->id) == p ? p->id : -1);
        }
        return ids;
    };
    EXPECT_EQ(served(), (QList<qint64>{2, 1})) << "the first ranking is made at once";
    EXPECT_EQ(served(), (QList<qint64>{2, 1})) << "the next is under way; the last is served meanwhile";
    ranking.forget(&proxies.at(1));
    proxies.erase(1);
    pass(3, 100);
    EXPECT_EQ(served(), (QList<qint64>{2}));
    QList<QList<qint64>> seen;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            seen << served();
            return seen.last() == QList<qint64>{3, 2};
        },
        5000));
    for (const QList<qint64>& each : seen)
        EXPECT_TRUE(each == QList<qint64>{2} || each == (QList<qint64>{3, 2})) << each.size();
}
