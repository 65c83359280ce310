// Tests 1,000 and 10,000 distinct proxies on loopback (real tinyproxy instances reached through many
// 127.x.y.z addresses) with no start delays, each with the plain address check, its judgement and an https
// request through a CONNECT tunnel, and runs curl --parallel through the same proxies for comparison.
// Prints name=value lines, the figures last.
//   bench_proxy_tester [--sizes 1000,10000] [--instances 20] [--model event|threads] [--no-curl] [--timeout-ms 15000]
//                      [--kind http|socks5] [--max-running N]
// --kind socks5 tests SOCKS5 proxies instead: real microsocks instances, and curl through them with socks5h.
// They listen on every address, which is safe only where every address is a loopback one, so the benchmark
// then runs itself again in a network namespace of its own that holds nothing but loopback (unshare --net,
// as root).
// --timeout-ms is each test's time limit (the program's default is 15 s); every proxy is handed over at once with
// no start delay, so on a small machine a longer limit shows the throughput the limit would otherwise cut.
// --model threads runs the one-thread-per-proxy design (blocking client per thread) instead of the tester.
// --max-running caps the tests under way at once (default: as many as the tester finds the machine holds).
// The origin counts its TLS handshakes: full ones cost it a key exchange, resumed ones do not.

#include "net/HttpClient.h"
#include "proxy/TProxyTester.h"
#include "support/LoopbackHttpResponder.h"
#include "support/Socks5Servers.h"
#include "support/StallMeter.h"
#include "support/TinyproxyFarm.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Proxy
{
    QString host;
    int port;
};

// The user-interface thread is watched with a 1 ms timer.
constexpr int kProbeMs = 1;

struct RunFigures
{
    double timeMs = 0;
    double handOverMs = 0;
    double stallMs = 0;
    double stallAtMs = 0; // when the longest stall began
    int passed = 0;
    int results = 0;
    double p50Ms = 0; // when half of the results had been handed over
    double p90Ms = 0;
    double firstMs = 0; // the first result, the last one but a hundredth of them, and the last
    double p99Ms = 0;
    double ownCpuMs = 0;    // this process (the tester's threads and the origin's) during the run
    double proxyCpuMs = 0;  // the proxies during the run
    quint32 maxElapsed = 0; // the slowest request as the client measured it
    int localRefusals = 0;  // tests the system refused a socket, given back to the queue
};

// Waits in this thread's event loop, asleep while nothing happens, until finish() or the time is up. Both sides
// are timed this way: a loop spinning for their end would take one of the machine's cores from whatever it timed.
class Finish
{
public:
    void finish()
    {
        m_done = true;
        m_loop.quit();
    }
    // Whether finish() came in time.
    bool wait(int timeoutMs)
    {
        if (!m_done) {
            QTimer::singleShot(timeoutMs, &m_loop, &QEventLoop::quit);
            m_loop.exec();
        }
        return m_done;
    }

private:
    QEventLoop m_loop;
    bool m_done = false;
};

// The load averages of the machine, as /proc/loadavg gives them.
// CPU time (user and system, ms) spent so far by every process named name (e.g. the proxies), or by this one
// when name is empty; children waited for count as RUSAGE_CHILDREN does, not here.
double cpuMs(const QByteArray& name = {})
{
    const double tick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    auto ofProcess = [tick](const QString& statPath) {
        QFile stat(statPath);
        if (!stat.open(QIODevice::ReadOnly))
            return 0.0;
        const QByteArray text = stat.readAll();
        // Fields after the command name, which sits in parentheses and may hold spaces.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) * tick : 0.0;
    };
    if (name.isEmpty())
        return ofProcess(QStringLiteral("/proc/self/stat"));
    double total = 0;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            total += ofProcess(QStringLiteral("/proc/%1/stat").arg(pid));
    }
    return total;
}

double childrenCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

RunFigures runTester(const QString& url, const QString& tunnelUrl, const std::vector<Proxy>& proxies, int timeoutMs,
                     TProxyKind kind, int maxRunning, const QByteArray& proxyName)
{
    RunFigures figures;
    const double ownBefore = cpuMs();
    const double proxiesBefore = cpuMs(proxyName);
    auto tester = std::make_unique<TProxyTester>(url, [](int) { return 0; });
    tester->SetTimeoutMs(timeoutMs);
    tester->SetMaxRunning(maxRunning);
    // Judged as the program judges: the answer must not show the user's address, and the tunnel must carry.
    tester->SetLocalAddress(QStringLiteral("203.0.113.5"));
    tester->SetTunnelUrl(tunnelUrl);
    QElapsedTimer timer;
    std::vector<double> arrivals;
    Finish finish;
    tester->OnTestResult = [&](bool success, int, const QString&, const QString&, int, quint32 elapsed) {
        if (++figures.results == int(proxies.size()))
            finish.finish();
        figures.passed += success ? 1 : 0;
        arrivals.push_back(timer.nsecsElapsed() / 1e6);
        if (success)
            figures.maxElapsed = std::max(figures.maxElapsed, elapsed);
    };
    testsupport::StallMeter stall(kProbeMs);
    stall.start();
    timer.start();
    for (int i = 0; i < int(proxies.size()); ++i) {
        ++tester->Total;
        tester->TestProxy(i, proxies[i].host, proxies[i].port, kind);
    }
    figures.handOverMs = timer.nsecsElapsed() / 1e6;
    finish.wait(180000);
    figures.timeMs = timer.nsecsElapsed() / 1e6;
    figures.localRefusals = tester->LocalRefusals();
    stall.stop();
    figures.stallMs = stall.maxStallMs();
    figures.stallAtMs = stall.maxStallAtMs();
    if (!arrivals.empty()) {
        figures.p50Ms = arrivals[arrivals.size() / 2];
        figures.p90Ms = arrivals[arrivals.size() * 9 / 10];
        figures.firstMs = arrivals.front();
        figures.p99Ms = arrivals[arrivals.size() * 99 / 100];
    }
    figures.ownCpuMs = cpuMs() - ownBefore;
    figures.proxyCpuMs = cpuMs(proxyName) - proxiesBefore;
    return figures;
}

// The design with one thread per proxy: each thread sends its request with a blocking client and hands its
// result over to this thread, waiting until it has been booked.
RunFigures runThreads(const QString& url, const std::vector<Proxy>& proxies)
{
    RunFigures figures;
    QObject target;
    Finish finish;
    const int count = int(proxies.size());
    testsupport::StallMeter stall(kProbeMs);
    stall.start();
    QElapsedTimer timer;
    timer.start();
    for (const Proxy& proxy : proxies) {
        std::thread([&figures, &target, &finish, count, url, proxy] {
            HttpClient client;
            client.setProxy(proxy.host, proxy.port);
            const bool ok = client.get(url).ok;
            QMetaObject::invokeMethod(
                &target,
                [&figures, &finish, count, ok] {
                    figures.passed += ok ? 1 : 0;
                    if (++figures.results == count)
                        finish.finish();
                },
                Qt::BlockingQueuedConnection);
        }).detach();
    }
    figures.handOverMs = timer.nsecsElapsed() / 1e6;
    finish.wait(180000);
    figures.timeMs = timer.nsecsElapsed() / 1e6;
    stall.stop();
    figures.stallMs = stall.maxStallMs();
    figures.stallAtMs = stall.maxStallAtMs();
    return figures;
}

// curl --parallel making the same two requests through the same proxies (the plain GET and the https GET
// through a CONNECT tunnel); returns the time and the 200 answers.
// Meanwhile this thread's event loop runs with nothing to do but its stall meter, so loopStallMs is what the
// same load on the machine alone costs an idle event loop.
double runCurl(const QString& url, const QString& tunnelUrl, const std::vector<Proxy>& proxies, TProxyKind kind,
               int parallel, int& ok, double& loopStallMs, double& curlCpuMs, double& ownCpuMs, double& proxyCpuMs,
               const QByteArray& proxyName)
{
    // socks5h, as the tester: the proxy resolves the names.
    const QString scheme = kind == TProxyKind::Socks5 ? QStringLiteral("socks5h") : QStringLiteral("http");
    QTemporaryDir dir;
    QFile config(dir.filePath("curl.cfg"));
    if (!config.open(QIODevice::WriteOnly))
        return -1;
    // "next" goes between the transfers only: after the last one it starts a transfer without a URL, whose
    // error makes curl --parallel abort every transfer still running.
    QStringList transfers;
    for (const Proxy& proxy : proxies) {
        transfers << QStringLiteral("url = \"%1\"\nproxy = \"%4://%2:%3\"\noutput = \"/dev/null\"\nsilent\n"
                                    "write-out = \"%{http_code}\\n\"\n")
                         .arg(url, proxy.host)
                         .arg(proxy.port)
                         .arg(scheme);
        if (!tunnelUrl.isEmpty())
            transfers << QStringLiteral("url = \"%1\"\nproxy = \"%4://%2:%3\"\ninsecure\noutput = \"/dev/null\"\n"
                                        "silent\nwrite-out = \"%{http_code}\\n\"\n")
                             .arg(tunnelUrl, proxy.host)
                             .arg(proxy.port)
                             .arg(scheme);
    }
    config.write(transfers.join(QStringLiteral("next\n")).toUtf8());
    config.close();
    QProcess curl;
    Finish finish;
    QObject::connect(&curl, &QProcess::finished, [&finish] { finish.finish(); });
    QObject::connect(&curl, &QProcess::errorOccurred, [&finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish.finish();
    });
    const double childrenBefore = childrenCpuMs();
    const double ownBefore = cpuMs();
    const double proxiesBefore = cpuMs(proxyName);
    testsupport::StallMeter stall(kProbeMs);
    QElapsedTimer timer;
    timer.start();
    curl.start("curl", {"--parallel", "--parallel-max", QString::number(parallel), "-K", config.fileName()});
    stall.start();
    if (!finish.wait(300000)) {
        curl.kill();
        curl.waitForFinished(5000);
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    stall.stop();
    loopStallMs = stall.maxStallMs();
    curlCpuMs = childrenCpuMs() - childrenBefore;
    ownCpuMs = cpuMs() - ownBefore;
    proxyCpuMs = cpuMs(proxyName) - proxiesBefore;
    ok = int(curl.readAllStandardOutput().count("200\n"));
    return ms;
}

} // namespace

// Runs this benchmark again, with the same arguments, in a network namespace of its own; returns only when
// that cannot be done.
void runIsolated(char** argv)
{
    QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    std::vector<char*> arguments{const_cast<char*>("unshare"), const_cast<char*>("--net"), self.data()};
    for (char** arg = argv + 1; *arg; ++arg)
        arguments.push_back(*arg);
    arguments.push_back(nullptr);
    std::fflush(stdout);
    execvp("unshare", arguments.data());
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The developer trace would time the terminal, not the program.
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));
    QList<int> sizes = {1000, 10000};
    int instances = 20;
    int timeoutMs = 15000;
    int maxRunning = 0;
    bool threads = false;
    bool withCurl = true;
    TProxyKind kind = TProxyKind::Http;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--sizes" && i + 1 < args.size()) {
            sizes.clear();
            for (const QString& s : args[++i].split(','))
                sizes << s.toInt();
        } else if (args[i] == "--instances" && i + 1 < args.size()) {
            instances = args[++i].toInt();
        } else if (args[i] == "--model" && i + 1 < args.size()) {
            threads = args[++i] == "threads";
        } else if (args[i] == "--no-curl") {
            withCurl = false;
        } else if (args[i] == "--max-running" && i + 1 < args.size()) {
            maxRunning = args[++i].toInt();
        } else if (args[i] == "--timeout-ms" && i + 1 < args.size()) {
            timeoutMs = args[++i].toInt();
        } else if (args[i] == "--kind" && i + 1 < args.size()) {
            kind = args[++i] == "socks5" ? TProxyKind::Socks5 : TProxyKind::Http;
        }
    }
    if (kind == TProxyKind::Socks5 && !threads) {
        if (!testsupport::Socks5Servers::isolatedNetwork()) {
            runIsolated(argv);
            std::fprintf(stderr, "cannot run in a network namespace of its own (unshare --net, as root)\n");
            return 1;
        }
        // A fresh namespace starts with its loopback interface down.
        QProcess::execute(QStringLiteral("ip"), {"link", "set", "lo", "up"});
    }

    // Ten thousand simultaneous requests need as many sockets.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    // The origin answers as the list service's address check does, over plain HTTP and over TLS.
    QTemporaryDir certificates;
    QString certificate;
    QString key;
    QString error;
    testsupport::LoopbackHttpResponder origin;
    if (!testsupport::LoopbackHttpResponder::makeCertificate(certificates.path(), QStringLiteral("127.0.0.1"),
                                                             &certificate, &key, &error) ||
        !origin.listen(1) || !origin.listenTls(1, certificate, key)) {
        std::fprintf(stderr, "cannot listen for the origin: %s\n", qPrintable(error));
        return 1;
    }
    origin.setReply(200, "RemoteAddr=198.51.100.1\r\nHeader.Accept=text/html, */*\r\n");
    origin.start();
    const QString url = QStringLiteral("http://%1/getip.php?VER=2").arg(origin.hostPort(0));
    const QString tunnelUrl = QStringLiteral("https://%1/getip.php?VER=2").arg(origin.hostPort(1));

    const bool socks5 = kind == TProxyKind::Socks5 && !threads;
    // Requests leave tinyproxy from the system's choice of address: what the proxies show is not measured here.
    testsupport::TinyproxyFarm tinyproxies;
    tinyproxies.setBindSame(false);
    testsupport::Socks5Servers microsocks;
    if (socks5 ? !microsocks.startFarm(instances) : !tinyproxies.start(instances)) {
        std::fprintf(stderr, "cannot start the proxies: %s\n",
                     qPrintable(socks5 ? microsocks.errorText() : tinyproxies.errorText()));
        return 1;
    }

    QStringList lines;
    lines << QStringLiteral("model=%1").arg(threads ? "threads" : "event");
    lines << QStringLiteral("kind=%1").arg(ProxyKindName(socks5 ? TProxyKind::Socks5 : TProxyKind::Http));
    lines << QStringLiteral("%1_instances=%2").arg(socks5 ? "microsocks" : "tinyproxy").arg(instances);
    lines << QStringLiteral("tunnel_and_judgement=%1").arg(threads ? 0 : 1);
    lines << QStringLiteral("timeout_ms=%1").arg(timeoutMs);
    lines << QStringLiteral("max_running=%1").arg(maxRunning);
    lines << QStringLiteral("load_average_at_start=%1").arg(loadAverage());
    for (const int n : sizes) {
        // Distinct proxies: every instance behind its own run of loopback addresses.
        std::vector<Proxy> proxies;
        for (int i = 0; i < n; ++i) {
            const QString text = socks5 ? microsocks.farmProxyText(i) : tinyproxies.proxyText(i);
            const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
            proxies.push_back({text.left(colon), text.mid(colon + 1).toInt()});
        }
        const TProxyKind runKind = socks5 ? TProxyKind::Socks5 : TProxyKind::Http;
        const QByteArray proxyName = socks5 ? "microsocks" : "tinyproxy";
        const int fullBefore = origin.tlsHandshakes() - origin.tlsResumed();
        const int resumedBefore = origin.tlsResumed();
        const RunFigures run = threads ? runThreads(url, proxies)
                                       : runTester(url, tunnelUrl, proxies, timeoutMs, runKind, maxRunning, proxyName);
        const int fullHandshakes = origin.tlsHandshakes() - origin.tlsResumed() - fullBefore;
        const int resumedHandshakes = origin.tlsResumed() - resumedBefore;
        const QString p = QStringLiteral("n%1_").arg(n);
        lines << p + QStringLiteral("results=%1").arg(run.results);
        lines << p + QStringLiteral("passed=%1").arg(run.passed);
        lines << p + QStringLiteral("handover_loop_ms=%1").arg(run.handOverMs, 0, 'f', 1);
        lines << p + QStringLiteral("time_ms=%1").arg(run.timeMs, 0, 'f', 1);
        lines << p + QStringLiteral("passed_per_s=%1").arg(run.passed * 1000.0 / run.timeMs, 0, 'f', 1);
        lines << p + QStringLiteral("result_p50_ms=%1").arg(run.p50Ms, 0, 'f', 1);
        lines << p + QStringLiteral("result_p90_ms=%1").arg(run.p90Ms, 0, 'f', 1);
        lines << p + QStringLiteral("result_first_ms=%1").arg(run.firstMs, 0, 'f', 1);
        lines << p + QStringLiteral("result_p99_ms=%1").arg(run.p99Ms, 0, 'f', 1);
        lines << p + QStringLiteral("cpu_ms_own=%1").arg(run.ownCpuMs, 0, 'f', 0);
        lines << p + QStringLiteral("cpu_ms_proxies=%1").arg(run.proxyCpuMs, 0, 'f', 0);
        lines << p + QStringLiteral("request_ms_max=%1").arg(run.maxElapsed);
        lines << p + QStringLiteral("stall_ms_max=%1").arg(run.stallMs, 0, 'f', 1);
        lines << p + QStringLiteral("stall_at_ms=%1").arg(run.stallAtMs, 0, 'f', 1);
        lines << p + QStringLiteral("rss_mb_peak=%1").arg(testsupport::processStatusMb(0, "VmHWM"), 0, 'f', 1);
        lines << p + QStringLiteral("local_refusals=%1").arg(run.localRefusals);
        lines << p + QStringLiteral("tls_full_handshakes=%1").arg(fullHandshakes);
        lines << p + QStringLiteral("tls_resumed_handshakes=%1").arg(resumedHandshakes);
        lines << p + QStringLiteral("load_average_after=%1").arg(loadAverage());
        if (withCurl) {
            int curlOk = 0;
            double curlStallMs = 0;
            double cpuCurl = 0;
            double cpuOwn = 0;
            double cpuProxies = 0;
            const QString curlTunnel = threads ? QString() : tunnelUrl;
            const double curlMs = runCurl(url, curlTunnel, proxies, runKind, 64, curlOk, curlStallMs, cpuCurl, cpuOwn,
                                          cpuProxies, proxyName);
            // curl's highest allowed parallelism, nearer to the tester's all-at-once start.
            int curl300Ok = 0;
            double curl300StallMs = 0;
            const int curlFullBefore = origin.tlsHandshakes() - origin.tlsResumed();
            const double curl300Ms = runCurl(url, curlTunnel, proxies, runKind, 300, curl300Ok, curl300StallMs, cpuCurl,
                                             cpuOwn, cpuProxies, proxyName);
            // What curl, the origin (in this process) and the proxies spent on the p300 run.
            lines << p + QStringLiteral("curl_p300_cpu_ms_curl=%1").arg(cpuCurl, 0, 'f', 0);
            lines << p + QStringLiteral("curl_p300_cpu_ms_own=%1").arg(cpuOwn, 0, 'f', 0);
            lines << p + QStringLiteral("curl_p300_cpu_ms_proxies=%1").arg(cpuProxies, 0, 'f', 0);
            lines << p + QStringLiteral("curl_p300_tls_full_handshakes=%1")
                             .arg(origin.tlsHandshakes() - origin.tlsResumed() - curlFullBefore);
            lines << p + QStringLiteral("curl_time_ms=%1").arg(curlMs, 0, 'f', 1);
            lines << p + QStringLiteral("curl_passed=%1").arg(curlOk);
            lines << p + QStringLiteral("curl_p300_time_ms=%1").arg(curl300Ms, 0, 'f', 1);
            lines << p + QStringLiteral("curl_p300_passed=%1").arg(curl300Ok);
            // The longest stall of this thread's empty event loop while curl ran: the machine's share, as a
            // yardstick for stall_ms_max (the proxies share this machine's cores, unlike real ones).
            lines << p + QStringLiteral("idle_loop_stall_ms_max_during_curl=%1")
                             .arg(std::max(curlStallMs, curl300StallMs), 0, 'f', 1);
            lines << p + QStringLiteral("ratio_vs_curl=%1").arg(curlMs / run.timeMs, 0, 'f', 2);
            // Proxies fully checked per second: curl's count is of requests, two per proxy.
            const double curl300PerS = curl300Ok * 500.0 / curl300Ms;
            lines << p + QStringLiteral("curl_p300_proxies_per_s=%1").arg(curl300PerS, 0, 'f', 1);
            lines << p + QStringLiteral("ratio_passed_per_s_vs_curl_p300=%1")
                             .arg(run.passed * 1000.0 / run.timeMs / curl300PerS, 0, 'f', 2);
        }
    }
    for (const QString& line : lines)
        std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    // Threads of the one-thread-per-proxy model may still be running; they are not waited for, so no
    // destructor runs after this and the proxies are ended here.
    tinyproxies.stop();
    for (int i = 0; i < microsocks.count(); ++i)
        microsocks.stop(i);
    std::_Exit(0);
}
