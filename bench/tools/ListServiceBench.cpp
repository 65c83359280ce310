// The list service as a host runs it: it checks N distinct loopback proxies (real tinyproxy instances
// behind many 127.x.y.z addresses) with the plain address check, the CONNECT tunnel test and the
// judgement, beside curl --parallel making the same requests; then 100 concurrent clients ask it for
// lists while it holds those N proxies, beside the same clients fetching a static file from Qt's HTTP
// server. First, the same clients ask for lists while a source of --ingest proxies (one in ten of
// them working, the rest loopback addresses where nothing listens) is stored in the service's database and
// checked, once with an SQLite file and once with a PostgreSQL server when one can be started here. Prints
// name=value lines, the list's figures beside those of Qt's static server.
//   bench_listservice [--proxies 10000] [--instances 20] [--clients 100] [--requests 200] [--no-curl]
//                     [--ingest 100000] [--ingest-seconds 40] [--no-postgres]

#include "MetricsReading.h"
#include "support/ListServiceFixture.h"
#include "support/PostgresFixture.h"
#include "support/StallMeter.h"
#include "support/TinyproxyFarm.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using testsupport::ListServiceFixture;
using testsupport::TinyproxyFarm;

namespace {

// One blocking GET with Connection: close; the status, or 0 when none came.
int fetch(int port, const QByteArray& path)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
            QByteArray answer;
            char buffer[16384];
            ssize_t n = 0;
            // Read to the end of the body: a server that keeps the connection open despite "close" is not
            // waited for.
            qsizetype bodyEnd = -1;
            while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
                answer.append(buffer, n);
                if (bodyEnd < 0) {
                    const qsizetype head = answer.indexOf("\r\n\r\n");
                    const qsizetype at = answer.toLower().indexOf("content-length:");
                    if (head >= 0 && at >= 0 && at < head)
                        bodyEnd =
                            head + 4 + answer.mid(at + 15, answer.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                }
                if (bodyEnd >= 0 && answer.size() >= bodyEnd)
                    break;
            }
            if (answer.startsWith("HTTP/1."))
                status = answer.mid(9, 3).toInt();
        }
    }
    close(fd);
    return status;
}

struct LoadResult
{
    double p50Ms = 0, p99Ms = 0, maxMs = 0, rps = 0;
    double maxAtMs = 0; // when the slowest answer was asked for, since the load began
    int failed = 0;
    int requests = 0;
};

// clients threads, each making requests sequential GETs of path, or, with until, as many as they can until it
// is set.
LoadResult load(int port, const QByteArray& path, int clients, int requests, const std::atomic_bool* until = nullptr)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::vector<std::pair<double, double>> slowest(static_cast<size_t>(clients)); // per client: ms, asked at
    std::atomic_int failed{0};
    QElapsedTimer wall;
    wall.start();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (int r = 0; until ? !until->load() : r < requests; ++r) {
                QElapsedTimer t;
                t.start();
                if (fetch(port, path) != 200)
                    ++failed;
                const double ms = t.nsecsElapsed() / 1e6;
                latencies[size_t(c)].push_back(ms);
                if (ms > slowest[size_t(c)].first)
                    slowest[size_t(c)] = {ms, wall.nsecsElapsed() / 1e6 - ms};
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    const double seconds = wall.nsecsElapsed() / 1e9;
    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    LoadResult r;
    if (all.empty())
        return r;
    r.p50Ms = all[all.size() / 2];
    r.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    r.maxMs = all.back();
    r.maxAtMs = std::max_element(slowest.cbegin(), slowest.cend())->second;
    r.rps = double(all.size()) / seconds;
    r.failed = failed.load();
    r.requests = int(all.size());
    return r;
}

// curl --parallel through every proxy: the plain address check and the same over a CONNECT tunnel.
double runCurl(const QString& url, const QString& tunnelUrl, const TinyproxyFarm& farm, int proxies, int parallel,
               int& ok)
{
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("curl.cfg")));
    if (!config.open(QIODevice::WriteOnly))
        return -1;
    for (int i = 0; i < proxies; ++i) {
        for (const QString& target : {url, tunnelUrl})
            config.write(QStringLiteral("url = \"%1\"\nproxy = \"http://%2\"\ninsecure\noutput = \"/dev/null\"\n"
                                        "silent\nmax-time = 30\nwrite-out = \"%{http_code}\\n\"\nnext\n")
                             .arg(target, farm.proxyText(i))
                             .toUtf8());
    }
    config.close();
    QProcess curl;
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"), {QStringLiteral("--parallel"), QStringLiteral("--parallel-max"),
                                        QString::number(parallel), QStringLiteral("-K"), config.fileName()});
    curl.waitForFinished(600000);
    ok = int(curl.readAllStandardOutput().count("200\n"));
    return timer.nsecsElapsed() / 1e6;
}

// Checks (and curl's transfers) at once: every one is a connection to the service itself, which takes 256.
constexpr int kParallel = 200;

// Clients asking for lists while the service stores a source of count proxies in database and checks them, for
// seconds. The checks run as many at once as by default: with the clients they stay below the service's
// connection limit, whose refusals would be measured instead of the answers.
void runIngest(const char* name, const QString& database, const TinyproxyFarm& farm, int count, int seconds,
               int clients)
{
    QTemporaryDir dir;
    QFile list(dir.filePath(QStringLiteral("ingest.txt")));
    if (!list.open(QIODevice::WriteOnly))
        return;
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0)
            list.write(farm.proxyText(i / 10).toUtf8() + '\n');
        else
            list.write(
                QStringLiteral("127.%1.%2.%3:9\n").arg(10 + i / 62500).arg(i / 250 % 250).arg(i % 250 + 1).toUtf8());
    }
    list.close();
    ListServiceFixture service;
    ListServiceFixture::Options options;
    options.extraConfig = {QStringLiteral("Source=ingest|plain|%1|86400|100000000").arg(list.fileName()),
                           QStringLiteral("Database=") + database,
                           QStringLiteral("CheckInterval=86400"),
                           QStringLiteral("AllowPrivateAddresses=on"),
                           QStringLiteral("CheckTimeout=30"),
                           QStringLiteral("MaxProxies=%1").arg(count)};
    if (!service.start({}, options)) {
        std::fprintf(stderr, "bench_listservice: %s\n", qPrintable(service.errorText()));
        return;
    }
    std::atomic_bool stop{false};
    std::thread timer([&stop, seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        stop = true;
    });
    const LoadResult r = load(service.port(), "/getproxy.php", clients, 0, &stop);
    timer.join();
    const double known = metric(service.port(), QStringLiteral("veilport_proxies_known"));
    const double checks = metric(service.port(), QStringLiteral("veilport_checks_total{outcome=\"passed\"}")) +
                          metric(service.port(), QStringLiteral("veilport_checks_total{outcome=\"failed\"}"));
    std::printf("ingest_%s_proxies=%d\ningest_%s_seconds=%d\ningest_%s_list_requests=%d\ningest_%s_list_failed=%d\n"
                "ingest_%s_list_p50_ms=%.2f\ningest_%s_list_p99_ms=%.2f\ningest_%s_list_max_ms=%.2f\n"
                "ingest_%s_list_max_at_ms=%.0f\n"
                "ingest_%s_list_rps=%.0f\ningest_%s_proxies_known=%.0f\ningest_%s_checks_done=%.0f\n",
                name, count, name, seconds, name, r.requests, name, r.failed, name, r.p50Ms, name, r.p99Ms, name,
                r.maxMs, name, r.maxAtMs, name, r.rps, name, known, name, checks);
    std::fflush(stdout);
}

// The same clients against a static file of Qt's HTTP server, on a thread of its own, with the same listen
// backlog as the service: its figures are what a plain Qt server does on this machine now.
LoadResult runStatic(int clients, int requests)
{
    const QByteArray file(2048, 'x');
    std::atomic_int staticPort{0};
    QThread* serverThread = QThread::create([&] {
        QHttpServer server;
        server.route(QStringLiteral("/static.txt"), [&file] { return QHttpServerResponse("text/plain", file); });
        auto* listener = new QTcpServer(&server);
        listener->setListenBacklogSize(4096);
        if (listener->listen(QHostAddress::LocalHost, 0))
            server.bind(listener);
        staticPort = listener->isListening() ? listener->serverPort() : -1;
        QEventLoop loop;
        QObject::connect(QThread::currentThread(), &QThread::finished, &loop, &QEventLoop::quit);
        loop.exec();
    });
    serverThread->start();
    while (staticPort.load() == 0)
        QThread::msleep(10);
    LoadResult r;
    if (staticPort.load() > 0)
        r = load(staticPort.load(), "/static.txt", clients, requests);
    serverThread->quit();
    serverThread->wait(5000);
    delete serverThread;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int proxies = 10000, instances = 20, clients = 100, requests = 200, ingest = 100000, ingestSeconds = 40;
    bool withCurl = true, withPostgres = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == QLatin1String("--proxies"))
            proxies = next.toInt(), ++i;
        else if (args[i] == QLatin1String("--instances"))
            instances = next.toInt(), ++i;
        else if (args[i] == QLatin1String("--clients"))
            clients = next.toInt(), ++i;
        else if (args[i] == QLatin1String("--requests"))
            requests = next.toInt(), ++i;
        else if (args[i] == QLatin1String("--ingest"))
            ingest = next.toInt(), ++i;
        else if (args[i] == QLatin1String("--ingest-seconds"))
            ingestSeconds = next.toInt(), ++i;
        else if (args[i] == QLatin1String("--no-curl"))
            withCurl = false;
        else if (args[i] == QLatin1String("--no-postgres"))
            withPostgres = false;
        else {
            std::fprintf(stderr, "usage: bench_listservice [--proxies N] [--instances N] [--clients N] "
                                 "[--requests N] [--no-curl] [--ingest N] [--ingest-seconds N] [--no-postgres]\n");
            return 2;
        }
    }
    if (proxies < 1 || instances < 1 || clients < 1 || requests < 1 || ingest < 0 || ingestSeconds < 1) {
        std::fprintf(stderr, "bench_listservice: counts must be positive\n");
        return 2;
    }

    TinyproxyFarm farm;
    if (!farm.start(instances)) {
        std::fprintf(stderr, "bench_listservice: %s\n", qPrintable(farm.errorText()));
        return 1;
    }
    if (ingest > 0) {
        QTemporaryDir ingestDir;
        runIngest("sqlite", ingestDir.filePath(QStringLiteral("ingest.db")), farm, ingest, ingestSeconds, clients);
        testsupport::PostgresFixture pg;
        if (!withPostgres)
            std::printf("ingest_postgresql=off\n");
        else if (!pg.start())
            std::printf("ingest_postgresql=unavailable: %s\n", qPrintable(pg.errorText().simplified().left(200)));
        else
            runIngest("postgresql", pg.url(), farm, ingest, ingestSeconds, clients);
    }

    QTemporaryDir dir;
    QFile list(dir.filePath(QStringLiteral("proxies.txt")));
    if (!list.open(QIODevice::WriteOnly))
        return 1;
    for (int i = 0; i < proxies; ++i)
        list.write(farm.proxyText(i).toUtf8() + '\n');
    list.close();

    ListServiceFixture service;
    ListServiceFixture::Options options;
    options.extraConfig = {QStringLiteral("Source=bench|plain|%1|86400|100000000").arg(list.fileName()),
                           QStringLiteral("Database=") + dir.filePath(QStringLiteral("proxies.db")),
                           QStringLiteral("CheckInterval=86400"),
                           QStringLiteral("AllowPrivateAddresses=on"),
                           QStringLiteral("CheckConcurrency=%1").arg(kParallel),
                           QStringLiteral("CheckTimeout=30"),
                           QStringLiteral("MaxProxies=%1").arg(proxies)};
    QElapsedTimer checkTimer;
    checkTimer.start();
    if (!service.start({}, options)) {
        std::fprintf(stderr, "bench_listservice: %s\n", qPrintable(service.errorText()));
        return 1;
    }
    double passed = 0, failed = 0;
    testsupport::waitUntil(
        [&] {
            passed = metric(service.port(), QStringLiteral("veilport_checks_total{outcome=\"passed\"}"));
            failed = metric(service.port(), QStringLiteral("veilport_checks_total{outcome=\"failed\"}"));
            return passed + failed >= proxies;
        },
        600000, 100);
    const double checkMs = checkTimer.nsecsElapsed() / 1e6;
    std::printf("proxies=%d\ncheck_time_ms=%.1f\ncheck_passed=%.0f\ncheck_failed=%.0f\nchecks_per_second=%.1f\n"
                "service_rss_mb_peak_after_checks=%.1f\n",
                proxies, checkMs, passed, failed, (passed + failed) / (checkMs / 1000.0),
                testsupport::processStatusMb(service.processId(), "VmHWM"));
    std::fflush(stdout);
    if (withCurl) {
        int ok = 0;
        const double curlMs = runCurl(service.url(QStringLiteral("/getip.php?VER=2")),
                                      service.tlsUrl(QStringLiteral("/getip.php?VER=2")), farm, proxies, kParallel, ok);
        std::printf("curl_parallel=%d\ncurl_time_ms=%.1f\ncurl_requests_ok=%d\ncurl_requests=%d\nratio_vs_curl=%.2f\n",
                    kParallel, curlMs, ok, 2 * proxies, curlMs / checkMs);
        std::fflush(stdout);
    }

    // 100 clients at once against the list with every proxy stored, then against Qt's static file.
    const LoadResult listLoad = load(service.port(), "/getproxy.php", clients, requests);
    const double rss = testsupport::processStatusMb(service.processId(), "VmHWM");
    const LoadResult staticLoad = runStatic(clients, requests);
    std::printf("list_clients=%d\nlist_requests=%d\n", clients, clients * requests);
    std::printf("list_failed=%d\nstatic_qt_failed=%d\n", listLoad.failed, staticLoad.failed);
    std::printf("list_p50_ms=%.2f\nstatic_qt_p50_ms=%.2f\n", listLoad.p50Ms, staticLoad.p50Ms);
    std::printf("list_p99_ms=%.2f\nstatic_qt_p99_ms=%.2f\n", listLoad.p99Ms, staticLoad.p99Ms);
    std::printf("list_max_ms=%.2f\nstatic_qt_max_ms=%.2f\n", listLoad.maxMs, staticLoad.maxMs);
    std::printf("list_rps=%.0f\nstatic_qt_rps=%.0f\n", listLoad.rps, staticLoad.rps);
    std::printf("list_rps_over_static_qt=%.2f\nservice_rss_mb_peak=%.1f\n",
                staticLoad.rps > 0 ? listLoad.rps / staticLoad.rps : 0.0, rss);
    return 0;
}
