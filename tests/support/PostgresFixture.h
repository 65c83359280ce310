#pragma once

#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A private PostgreSQL server for one test, made with initdb in a temporary folder and started with
// pg_ctl on a free loopback port (trust authentication, no fsync). It runs as the "postgres" user when
// the test runs as root, since the server refuses root. Stopped by pg_ctl on stop() and on destruction.
//
//     testsupport::PostgresFixture pg;
//     if (!pg.start()) GTEST_SKIP() << pg.errorText().toStdString();
//     pg.url()   // "postgresql://veilport@127.0.0.1:<port>/postgres"
class PostgresFixture
{
public:
    PostgresFixture();
    ~PostgresFixture();
    PostgresFixture(const PostgresFixture&) = delete;
    PostgresFixture& operator=(const PostgresFixture&) = delete;

    /// Makes and starts the server (after stop(): starts it again with its data, on its port); false (with
    /// errorText()) when PostgreSQL is not installed or does not start.
    bool start();
    /// Stops the server at once; clients see their connections fail.
    void stop();
    QString url() const;
    int port() const { return m_port; }
    QString errorText() const { return m_error; }

private:
    bool run(const QString& program, const QStringList& arguments, int timeoutMs);

    QTemporaryDir m_dir;
    QString m_bin;
    int m_port = 0;
    bool m_running = false;
    QString m_error;
};

} // namespace testsupport
