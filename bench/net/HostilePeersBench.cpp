// Drives the program's network clients against hostile loopback peers the way the program does:
// from the user-interface thread with its event loop running. For each peer kind it measures the
// longest event-loop stall (a 5 ms timer probe) and memory (peak resident size of the process,
// and the growth of the resident size during the case), and prints one line per case, last:
//   case=<name> stall_ms_max=<ms> stall_ms_p99=<ms> rss_mb_peak=<MiB> rss_mb_growth=<MiB> outcome=<text>
//   bench_hostile_peers [--quick]
// --quick shortens the waits of the cases that only end by abort or stop (for a smoke run).

#include "net/THTTPGet.h"
#include "net/TIEDownload.h"
#include "platform/ProcessProxy.h"
#include "proxy/TProxyManager.h"
#include "proxy/TProxyTester.h"
#include "proxy/BrowserControl.h"
#include "support/ScriptedHttpServer.h"
#include "support/StallMeter.h"
#include "support/Wait.h"
#include "util/EngineServices.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using testsupport::ScriptedHttpServer;
using Script = testsupport::ScriptedHttpServer::Reply;

namespace {

constexpr qint64 kGiB = 1024ll * 1024 * 1024;
constexpr qint64 kMiB = 1024ll * 1024;

double statusMb(const char* field)
{
    return testsupport::processStatusMb(0, field);
}

// How long the event loop went without running a 5 ms timer, and the resident size sampled every tenth turn.
class Probe
{
public:
    Probe()
    {
        m_stall.onTick = [this] {
            if (++m_ticks % 10 == 0)
                m_rssMax = std::max(m_rssMax, statusMb("VmRSS"));
        };
    }
    void start()
    {
        m_rssStart = statusMb("VmRSS");
        m_rssMax = m_rssStart;
        m_stall.start();
    }
    void stop()
    {
        m_stall.stop();
        m_rssMax = std::max(m_rssMax, statusMb("VmRSS"));
    }
    double stallMs() const { return m_stall.maxStallMs(); }
    double rssGrowthMb() const { return m_rssMax - m_rssStart; }
    // The stall that 99 % of the probe's turns stayed under: robust against a single hiccup of a busy machine.
    double stallP99Ms() const { return m_stall.stallP99Ms(); }

private:
    testsupport::StallMeter m_stall{5};
    qint64 m_ticks = 0;
    double m_rssStart = 0;
    double m_rssMax = 0;
};

QStringList g_lines;

void report(const char* name, const Probe& probe, const QString& outcome)
{
    g_lines << QStringLiteral("case=%1 stall_ms_max=%2 stall_ms_p99=%6 rss_mb_peak=%3 rss_mb_growth=%4 outcome=%5")
                   .arg(QLatin1String(name))
                   .arg(probe.stallMs(), 0, 'f', 1)
                   .arg(statusMb("VmHWM"), 0, 'f', 1)
                   .arg(probe.rssGrowthMb(), 0, 'f', 1)
                   .arg(outcome)
                   .arg(probe.stallP99Ms(), 0, 'f', 1);
    std::fprintf(stderr, "done: %s\n", name);
}

const QString kOldList = QStringLiteral("LocalIP=198.51.100.1\r\nProxyCount=1\r\n"
                                        "Proxy_0=192.0.2.10:8080|anon|Canada|http://f/ca.png|1|2\r\n");

// The list download of the proxy manager against one peer; the case ends when the client lets the
// connection go, or after waitMs when it never does (the download has no time limit of its own).
void listCase(const char* name, const Script& script, int waitMs)
{
    ScriptedHttpServer peer;
    peer.start(script);
    NullBrowserControl browsers;
    TEngineServices quiet;
    auto manager = std::make_unique<TProxyManager>(
        browsers, quiet, QStringLiteral("http://127.0.0.1:1/getip.php?VER=1"), [](int) { return 0; });
    manager->ProxyListReceived(kOldList);
    int loaded = 0;
    QObject::connect(manager.get(), &TProxyManager::listLoaded, [&] { ++loaded; });
    Probe probe;
    probe.start();
    manager->DownloadProxyList(peer.url(QStringLiteral("/getproxy.php")));
    const bool ended =
        testsupport::waitUntil([&] { return peer.connections() >= 1 && peer.openConnections() == 0; }, waitMs);
    const bool kept = manager->LocalIP() == QStringLiteral("198.51.100.1") && loaded == 0;
    // The manager may go while its download still runs: the download never reaches it then.
    manager.reset();
    QCoreApplication::processEvents();
    probe.stop();
    report(name, probe,
           QStringLiteral("%1_%2_read_mb=%3")
               .arg(ended ? QStringLiteral("failed") : QStringLiteral("still_running_manager_destroyed"),
                    kept ? QStringLiteral("old_list_kept") : QStringLiteral("LIST_REPLACED"))
               .arg(peer.bytesSent() / double(kMiB), 0, 'f', 1));
}

// One flag fetch as the program's flag fetchers make it; abortAfterMs > 0 aborts it then.
void flagCase(const char* name, const Script& script, const std::function<void(THTTPGet&)>& configure, int abortAfterMs)
{
    ScriptedHttpServer peer;
    peer.start(script);
    QTemporaryDir dir;
    THTTPGet get;
    get.SetBinaryData(true);
    configure(get);
    get.SetFileName(dir.filePath(QStringLiteral("Germany_small.png")));
    get.SetURL(peer.url(QStringLiteral("/tpl/images/flag_small/Germany.png")));
    int done = 0;
    int failed = 0;
    QObject::connect(&get, &THTTPGet::OnDoneFile, [&] { ++done; });
    QObject::connect(&get, &THTTPGet::OnError, [&] { ++failed; });
    Probe probe;
    probe.start();
    get.GetFile();
    bool aborted = false;
    if (abortAfterMs > 0 && !testsupport::waitUntil([&] { return !get.Busy(); }, abortAfterMs)) {
        get.Abort();
        aborted = true;
    }
    const bool ended = testsupport::waitUntil([&] { return !get.Busy(); }, 90000);
    probe.stop();
    const qint64 written = QFile(get.FileName()).size();
    report(name, probe,
           QStringLiteral("%1_written_mb=%2")
               .arg(!ended    ? QStringLiteral("STILL_BUSY")
                    : done    ? QStringLiteral("done")
                    : aborted ? QStringLiteral("aborted_no_event")
                    : failed  ? QStringLiteral("failed_on_error")
                              : QStringLiteral("failed_silently"))
               .arg(written / double(kMiB), 0, 'f', 1));
}

// One update request through the service channel.
void updateCase(const char* name, const Script& script, int overallTimeoutMs)
{
    ScriptedHttpServer peer;
    peer.start(script);
    TIEDownload channel;
    channel.SetTimeOut(5000);
    channel.SetOverallTimeoutMs(overallTimeoutMs);
    int result = 1;
    int completions = 0;
    QObject::connect(&channel, &TIEDownload::OnDownloadComplete, [&](TIEDownload*, const QByteArray&, int code) {
        result = code;
        ++completions;
    });
    Probe probe;
    probe.start();
    channel.StartRequest(peer.url(QStringLiteral("/update/?&LANG=English")));
    testsupport::waitUntil([&] { return completions > 0; }, overallTimeoutMs + 30000);
    probe.stop();
    report(name, probe,
           completions ? QStringLiteral("completed_result=0x%1").arg(quint32(result), 8, 16, QLatin1Char('0'))
                       : QStringLiteral("NO_COMPLETION"));
}

// Every malformed reply through all three clients, one after the other.
void malformedCase()
{
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    const QList<QByteArray> replies = {
        "no status line\r\n\r\nbody",
        "HTTP/1.1 abc OK\r\nContent-Length: 2\r\n\r\nok",
        ok + "Content-Length: -5\r\n\r\nok",
        ok + "Content-Length: 99999999999999999999999\r\n\r\nok",
        ok + "Content-Length: 2\r\nContent-Length: 5\r\n\r\nok",
        ok + "X-Junk: " + QByteArray(kMiB, 'j') + "\r\n\r\n",
        ok + QByteArray("Content-Length: 2\0\0X: y\r\n\r\nok", 26),
        ok + "Content-Le",
        "HTTP/1.1 200 OK Content-Length: 2 ok",
        ScriptedHttpServer::noise(4096, 7),
    };
    // The peers and the clients exist before the probe starts, as the program's long-lived clients do, so
    // only the requests themselves are measured.
    std::vector<std::unique_ptr<ScriptedHttpServer>> peers;
    for (const QByteArray& reply : replies) {
        peers.push_back(std::make_unique<ScriptedHttpServer>());
        peers.back()->start(Script().send(reply));
    }
    NullBrowserControl browsers;
    TEngineServices quiet;
    TProxyManager manager(browsers, quiet, QStringLiteral("http://127.0.0.1:1/getip.php?VER=1"), [](int) { return 0; });
    int loaded = 0;
    QObject::connect(&manager, &TProxyManager::listLoaded, [&] { ++loaded; });
    QTemporaryDir dir;
    THTTPGet get;
    get.SetBinaryData(true);
    get.SetFileName(dir.filePath(QStringLiteral("flag.png")));
    TIEDownload channel;
    int result = 0;
    bool complete = false;
    QObject::connect(&channel, &TIEDownload::OnDownloadComplete, [&](TIEDownload*, const QByteArray&, int code) {
        result = code;
        complete = true;
    });

    int listFailed = 0;
    int flagFailed = 0;
    int channelFailed = 0;
    Probe probe;
    probe.start();
    for (const auto& peer : peers) {
        const int loadedBefore = loaded;
        manager.DownloadProxyList(peer->url(QStringLiteral("/getproxy.php")));
        testsupport::waitUntil([&] { return peer->connections() >= 1 && peer->openConnections() == 0; }, 10000);
        testsupport::waitUntil([&] { return loaded > loadedBefore; }, 50);
        listFailed += loaded == loadedBefore;

        get.SetURL(peer->url(QStringLiteral("/flag.png")));
        get.GetFile();
        testsupport::waitUntil([&] { return !get.Busy(); }, 10000);
        flagFailed += !get.Success();

        complete = false;
        result = 0;
        channel.StartRequest(peer->url(QStringLiteral("/update/?&LANG=English")));
        testsupport::waitUntil([&] { return complete; }, 15000);
        channelFailed += result != 0;
    }
    probe.stop();
    const int n = int(replies.size());
    report("malformed_replies", probe,
           QStringLiteral("list_failed=%1/%4_flag_failed=%2/%4_update_failed=%3/%4")
               .arg(listFailed)
               .arg(flagFailed)
               .arg(channelFailed)
               .arg(n));
}

// Proxies that answer noise or never stop sending, tested as a test run does.
void testerCase(const char* name, const Script& script, int proxies, int stopAfterMs)
{
    std::vector<std::unique_ptr<ScriptedHttpServer>> peers;
    TProxyTester tester(QStringLiteral("http://192.0.2.1/getip.php?VER=1"), [](int) { return 0; });
    int passed = 0;
    int failed = 0;
    tester.OnTestResult = [&](bool success, int, const QString&, const QString&, int, quint32) {
        ++(success ? passed : failed);
    };
    for (int i = 0; i < proxies; ++i) {
        peers.push_back(std::make_unique<ScriptedHttpServer>());
        peers.back()->start(script);
    }
    Probe probe;
    probe.start();
    for (int i = 0; i < proxies; ++i) {
        ++tester.Total;
        tester.TestProxy(i, QStringLiteral("127.0.0.1"), peers.at(i)->port());
    }
    const bool all = testsupport::waitUntil([&] { return passed + failed == proxies; }, stopAfterMs);
    tester.SetStopped(true);
    testsupport::waitUntil([&] { return tester.ActiveTests() == 0; }, 10000);
    probe.stop();
    qint64 sent = 0;
    for (const auto& peer : peers)
        sent += peer->bytesSent();
    report(name, probe,
           QStringLiteral("%1_passed=%2_failed=%3_received_mb=%4")
               .arg(all ? QStringLiteral("all_reported") : QStringLiteral("stopped_unreported"))
               .arg(passed)
               .arg(failed)
               .arg(sent / double(kMiB), 0, 'f', 1));
}

// The event loop with no peer at all, for the noise floor of the machine at the time of the run.
void idleCase(const char* name, int ms)
{
    Probe probe;
    probe.start();
    testsupport::waitUntil([] { return false; }, ms);
    probe.stop();
    report(name, probe, QStringLiteral("idle"));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.*=false"));
    platform::setProcessProxy(QString());
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int hold = quick ? 2000 : 8000; // how long cases that never end by themselves are watched

    QElapsedTimer total;
    total.start();
    const QByteArray closeHead = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";

    idleCase("idle_baseline_before", hold);
    listCase("list_3gib_body", Script().send(closeHead).stream(3 * kGiB), 60000);
    listCase("list_declared_3gib", Script().send(ScriptedHttpServer::httpHead(200, 3 * kGiB)).stream(3 * kGiB), 60000);
    listCase("list_endless_trickle_1Bps", Script().send(closeHead).trickle(QByteArray(), 1000), hold);
    listCase("list_silent_after_accept", Script().withoutRequest().hang(), hold);

    flagCase(
        "flag_declared_3gib", Script().send(ScriptedHttpServer::httpHead(200, 3 * kGiB)).stream(3 * kGiB),
        [](THTTPGet&) {}, 0);
    flagCase(
        "flag_endless_without_length", Script().send(closeHead).stream(-1),
        [](THTTPGet& get) { get.SetBinaryData(false); }, 0);
    flagCase(
        "flag_trickle_1Bps_aborted", Script().send(ScriptedHttpServer::httpHead(200, 1000)).trickle(QByteArray(), 1000),
        [](THTTPGet&) {}, hold);
    flagCase(
        "flag_silent_stall_limit_2s", Script().withoutRequest().hang(),
        [](THTTPGet& get) { get.SetStallTimeoutMs(2000); }, 0);

    updateCase("update_endless_body", Script().send(closeHead + "magicword=x\r\n").stream(-1), 60000);
    updateCase("update_trickle_1Bps_overall_limit", Script().send(closeHead).trickle(QByteArray(), 1000), hold);
    updateCase("update_silent_overall_limit", Script().withoutRequest().hang(), hold);

    malformedCase();

    testerCase("tester_noise_proxies_50", Script().send(ScriptedHttpServer::noise(4096, 11)), 50, 30000);
    testerCase("tester_endless_body_proxy", Script().send(closeHead).stream(-1), 1, hold);
    testerCase("tester_trickle_proxy", Script().send(closeHead).trickle(QByteArray(), 1000), 1, hold);

    idleCase("idle_baseline_after", hold);

    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        std::printf("load_avg_1m=%s\n", loadavg.readAll().split(' ').first().constData());
    std::printf("total_s=%.1f\n", total.elapsed() / 1000.0);
    for (const QString& line : g_lines)
        std::printf("%s\n", qPrintable(line));
    return 0;
}
