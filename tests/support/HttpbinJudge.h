#pragma once

#include <QHostAddress>
#include <QProcess>
#include <QString>

#include <memory>

namespace testsupport {

// Debian's real httpbin (python3-httpbin) on 127.0.0.1 (or another local address), as a public judge stands in: it
// answers /get with JSON naming the sender ("origin") and the request's headers, and with ?show_env=1 the proxy headers
// too. It runs under /usr/bin/python3, which has Debian's packages whatever python3 comes first on PATH, in the
// foreground as a child process killed by its own pid.
//
//     testsupport::HttpbinJudge judge;
//     ASSERT_TRUE(judge.start()) << qPrintable(judge.errorText());
//     judge.url("/get?show_env=1")   // "http://127.0.0.1:<port>/get?show_env=1"
class HttpbinJudge
{
public:
    HttpbinJudge() = default;
    ~HttpbinJudge();
    HttpbinJudge(const HttpbinJudge&) = delete;
    HttpbinJudge& operator=(const HttpbinJudge&) = delete;

    // Listens on host; false (with errorText()) when httpbin is missing or does not answer in time.
    bool start(const QHostAddress& host = QHostAddress(QHostAddress::LocalHost));
    int port() const { return m_port; }
    QString url(const QString& path) const;
    QString errorText() const { return m_error; }

private:
    std::unique_ptr<QProcess> m_process;
    QHostAddress m_host;
    int m_port = 0;
    QString m_error;
};

} // namespace testsupport
