#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <utility>

namespace testsupport {

// One proxy of the pool. flagUrl empty: the service's own large-flag URL for the country.
struct ListServiceEntry
{
    ListServiceEntry() = default;
    ListServiceEntry(QString proxy, QString country, QString longitude, QString latitude,
                     QString info = QStringLiteral("anonymous"), QString flagUrl = QString())
        : proxy(std::move(proxy)), country(std::move(country)), longitude(std::move(longitude)),
          latitude(std::move(latitude)), info(std::move(info)), flagUrl(std::move(flagUrl))
    {
    }

    QString proxy;
    QString country;
    QString longitude;
    QString latitude;
    QString info = QStringLiteral("anonymous");
    QString flagUrl;
};
// What the service says about the caller and what it answers to update checks.
struct ListServiceOptions
{
    QString localCountry = QStringLiteral("United States");
    QString localLongitude = QStringLiteral("-77.0369");
    QString localLatitude = QStringLiteral("38.9072");
    QString magicWord = QStringLiteral("veilport-update-v1");
    QString updateResult = QStringLiteral("0");
    QString updateInfo;
    QString updatePage;
    // Connections one client address may hold (--max-per-address). Loopback tests send every
    // proxy's requests from 127.0.0.1, so by default as many as the service allows in all.
    int maxPerAddress = 256;
    // More Name=Value lines of the service's configuration (sources, checking, database, trusted
    // reverse proxies). A Source or Check=on line switches gathering on: the pool then becomes one
    // source whose proxies are served only once they pass their checks.
    QStringList extraConfig;
    // Logs every request line (--request-log), for requests().
    bool logRequests = false;
    // Logs every request to stderr as well (--verbose), for errorOutput().
    bool verbose = false;
};

// The real local list service (veilport-listservice) on ephemeral loopback ports (plain HTTP and
// TLS with a self-signed certificate), with a pool given by the test.
//
//     testsupport::TinyproxyFixture proxies;
//     ASSERT_TRUE(proxies.start(2));
//     testsupport::ListServiceFixture service;
//     ASSERT_TRUE(service.start({{proxies.proxyText(0), "Canada", "-75.7", "45.4"},
//                                {proxies.proxyText(1), "Japan", "139.7", "35.7"}})) << service.errorText();
//     service.url("/getproxy.php")      // "http://127.0.0.1:<port>/getproxy.php"
//     service.host()                    // "127.0.0.1:<port>", the value of URL.ServiceHost / URL.SiteHost
//     service.tlsUrl("/getip.php?VER=2") // "https://127.0.0.1:<tlsPort>/getip.php?VER=2", the tunnel test's URL
//     tmp.write("oem.dat", service.oemDat()); // points every URL.* constant of the program at this service
//
// The executable is taken from $VEILPORT_BIN_DIR (set by CTest), else from ../bin beside the test
// executable. The pool and config files, and the certificate and key that the `openssl` command
// makes for the TLS port (self-signed EC, for 127.0.0.1), live in a private temporary folder; setPool() rewrites the
// pool and the service serves it from the next list request on. The process is killed by its own
// pid in stop() and on destruction.
class ListServiceFixture
{
public:
    using Entry = ListServiceEntry;
    using Options = ListServiceOptions;

    ListServiceFixture();
    ~ListServiceFixture();
    ListServiceFixture(const ListServiceFixture&) = delete;
    ListServiceFixture& operator=(const ListServiceFixture&) = delete;

    // Starts the service; false (with errorText()) when the executable is missing or it does not come up.
    bool start(const QList<Entry>& pool = {}, const Options& options = Options());
    // Same, with the pool file's raw text (for malformed pools).
    bool startWithPoolText(const QByteArray& poolText, const Options& options = Options());
    // Replaces the pool; served from the next list request on.
    void setPool(const QList<Entry>& pool);
    void setPoolText(const QByteArray& poolText);
    // Kills the service; its port then refuses connections.
    void stop();
    bool isRunning() const;
    // The service's process id while it runs (0 otherwise), for benchmarks that read its memory.
    qint64 processId() const { return m_process ? m_process->processId() : 0; }

    int port() const { return m_port; }
    // The TLS port, serving the same as port().
    int tlsPort() const { return m_tlsPort; }
    // "127.0.0.1:<port>".
    QString host() const;
    // "http://127.0.0.1:<port>" + path.
    QString url(const QString& path) const;
    // "https://127.0.0.1:<tlsPort>" + path.
    QString tlsUrl(const QString& path) const;
    // An oem.dat ([const] section) pointing URL.ServiceHost, URL.SiteHost, every URL.* page and the
    // tunnel test (URL.TUNNELTEST, over TLS) at this service.
    QByteArray oemDat() const;
    // The self-signed certificate (PEM) the TLS port presents, and its private key.
    QString certificateFile() const;
    QString keyFile() const;
    // The pool file text that an entry list becomes.
    static QByteArray poolText(const QList<Entry>& pool);
    // Full path of the service executable that start() uses.
    static QString executablePath();
    // Every request line logged so far ("GET /path"), with Options::logRequests.
    QStringList requests() const;
    // Everything the service wrote to stderr so far.
    QByteArray errorOutput();
    QString errorText() const { return m_error; }

private:
    bool makeCertificate();
    QString requestLogFile() const;

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    int m_tlsPort = 0;
    QString m_error;
    QByteArray m_stderr;
};

} // namespace testsupport
