// Hide over a 10,000-proxy list, as a user starts it: the real engine and main windows (offscreen)
// with the real proxy manager and tester, the list downloaded from the real list service, every
// proxy reachable through a farm of tinyproxy instances on 127.x addresses, "Auto Selected", the
// start delays drawn from the default random source (0 to 9999 ms), and the desktop's proxy
// settings written for real into a private GSettings keyfile. The Hide button is clicked and the
// user-interface thread is watched by a 5 ms timer until the proxy is applied and until every
// test of the run has ended (the run is cut after the 31st result, as the manager does).
// Prints name=value lines, the figures last.
// The proxy pool's developer trace stays as the program sets it (off) unless --trace switches it on.
//   bench_hide [--proxies 10000] [--instances 20] [--trace]

#include "config/TSettings.h"
#include "browsers/DesktopBrowsers.h"
#include "proxy/TProxyManager.h"
#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/PrivateHome.h"
#include "support/ProcessTree.h"
#include "support/StallMeter.h"
#include "support/TinyproxyFarm.h"
#include "support/Wait.h"
#include "ui/ApplicationServices.h"
#include "ui/Engine.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmMainForm.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using testsupport::processStatusMb;
using testsupport::waitUntil;

namespace {

constexpr int kProbeMs = 5;

// Starts a fresh peak (VmHWM) for the process.
void resetPeak(qint64 pid)
{
    QFile refs(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// Every process below this one whose program is the web engine's helper.
QList<qint64> webEngineHelpers()
{
    QList<qint64> helpers;
    for (qint64 pid : testsupport::descendantProcesses()) {
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
        if (exe.contains(QLatin1String("QtWebEngineProcess")))
            helpers << pid;
    }
    return helpers;
}

void fail(const char* what)
{
    std::fprintf(stderr, "bench_hide: %s\n", what);
    std::fflush(stderr);
    std::_Exit(1);
}

const QStringList kCountries = {"United States", "Canada",    "Germany",     "France", "Japan",
                                "Brazil",        "India",     "China",       "Russia", "United Kingdom",
                                "Italy",         "Spain",     "Netherlands", "Sweden", "Poland",
                                "Mexico",        "Argentina", "Australia",   "Korea",  "Turkey"};

} // namespace

int main(int argc, char** argv)
{
    int proxyCount = 10000;
    int instances = 20;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--proxies") == 0 && i + 1 < argc)
            proxyCount = std::max(1, atoi(argv[++i]));
        else if (qstrcmp(argv[i], "--instances") == 0 && i + 1 < argc)
            instances = std::max(1, atoi(argv[++i]));
        else if (qstrcmp(argv[i], "--trace") == 0)
            trace = true;
    }

    // A private home: the desktop write is real but lands in a keyfile of a temporary folder.
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/veilport-bench-hide-XXXXXX"));
    if (!home.isValid())
        fail("cannot create a temporary home");
    testsupport::PrivateHome privateHome(home.path());
    privateHome.create();
    privateHome.enter();
    QDir().mkpath(home.filePath(QStringLiteral("program")));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("VEILPORT_BIN_DIR"))
        qputenv("VEILPORT_BIN_DIR", VEILPORT_BENCH_BIN_DIR);
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    // Ten thousand tests under way at once need as many sockets.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    // The address every proxy is tested with, behind the proxies.
    // The test address answers as the list service's address check does, over plain HTTP and over TLS, so each
    // proxy is judged and its CONNECT tunnel tested as in the program's normal use.
    testsupport::LoopbackHttpResponder origin;
    QString certificate;
    QString key;
    QString certificateError;
    if (!testsupport::LoopbackHttpResponder::makeCertificate(home.path(), QStringLiteral("127.0.0.1"), &certificate,
                                                             &key, &certificateError) ||
        !origin.listen(1) || !origin.listenTls(1, certificate, key))
        fail("cannot listen for the test address");
    origin.setReply(200, "RemoteAddr=198.51.100.1\r\nHeader.Accept=text/html, */*\r\n");
    origin.start();
    testsupport::TinyproxyFarm farm;
    if (!farm.start(instances))
        fail(qPrintable(farm.errorText()));
    QList<testsupport::ListServiceEntry> pool;
    pool.reserve(proxyCount);
    for (int i = 0; i < proxyCount; ++i)
        pool.append(
            {farm.proxyText(i), kCountries.at(i % kCountries.size()), QStringLiteral("10.0"), QStringLiteral("50.0")});
    testsupport::ListServiceFixture service;
    if (!service.start(pool))
        fail(qPrintable(service.errorText()));

    // The program's folder: the shipped constants, pointed at the local service and test address.
    const QString program = home.filePath(QStringLiteral("program")) + QLatin1Char('/');
    QFile::copy(qEnvironmentVariable("VEILPORT_BIN_DIR") + QStringLiteral("/const.dat"), program + "const.dat");
    {
        QFile oem(program + QStringLiteral("oem.dat"));
        if (!oem.open(QIODevice::WriteOnly))
            fail("cannot write oem.dat");
        // The proxies are tested against the local responder, which keeps up with ten thousand requests.
        QByteArray constants = service.oemDat();
        constants.replace("URL.ServiceHost=" + service.host().toUtf8(),
                          "URL.ServiceHost=" + origin.hostPort(0).toUtf8());
        constants.replace("URL.TUNNELTEST=" + service.tlsUrl(QStringLiteral("/getip.php?VER=2")).toUtf8(),
                          "URL.TUNNELTEST=https://" + origin.hostPort(1).toUtf8() + "/getip.php?VER=2");
        oem.write(constants + "Update.NoAutoCheck=1\nUpdate.Enable=0\n");
    }
    InitSettings(program);
    Settings()->WriteAllUsersFlag(false);
    Settings()->OpenSettingsFile(false);
    Settings()->WriteBool(QStringLiteral("SETUPFF"), false);
    Settings()->WriteBool(QStringLiteral("FirstTimeRun"), false);

    DesktopBrowsers browsers(*Settings());
    auto engine = std::make_unique<Engine>(*Settings(), browsers);
    if (!engine->StartSucceeded())
        fail("the engine did not start");
    auto form = std::make_unique<TfrmMainForm>(engine->Window());
    // The controls a user would press, found by the names the language files give them.
    auto* hideAction = form->findChild<QAction*>(QStringLiteral("acVuvaVI"));
    auto* hideButton = form->findChild<QPushButton*>(QStringLiteral("btnHide"));
    if (!hideAction || !hideButton)
        fail("the main window has no acVuvaVI or no btnHide");
    if (trace)
        QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=true"));
    const bool traceOn = QLoggingCategory("veilport.proxy").isDebugEnabled();
    TProxyManager& manager = *engine->ProxyManager();
    QElapsedTimer clock;
    clock.start();
    form->show();
    if (!waitUntil([&] { return hideAction->isEnabled() && manager.Proxies().size() == proxyCount; }, 60000))
        fail("the list did not arrive");
    const double listMs = clock.nsecsElapsed() / 1e6;
    // Let the info page and the own flag settle, so the idle figure is the window at rest.
    waitUntil([] { return false; }, 3000);

    int results = 0;
    double firstProxyMs = -1;
    QString applied;
    QStringList resultTimes;
    QObject::connect(&manager, &TProxyManager::progress, [&](int, int current) {
        results = current;
        resultTimes << QStringLiteral("%1@%2").arg(current).arg(clock.nsecsElapsed() / 1e6, 0, 'f', 0);
    });
    QObject::connect(&manager, &TProxyManager::proxyChanged, [&](const TProxyRec& rec) {
        if (firstProxyMs < 0) {
            firstProxyMs = clock.nsecsElapsed() / 1e6;
            applied = rec.Proxy;
        }
    });

    const qint64 self = getpid();
    const QList<qint64> helpers = webEngineHelpers();
    const double idleMb = processStatusMb(self, "VmRSS");
    double helpersIdleMb = 0;
    for (qint64 pid : helpers)
        helpersIdleMb += processStatusMb(pid, "VmRSS");
    resetPeak(self);
    for (qint64 pid : helpers)
        resetPeak(pid);

    testsupport::StallMeter untilApplied(kProbeMs);
    testsupport::StallMeter untilSettled(kProbeMs);
    untilApplied.start();
    untilSettled.start();
    clock.restart();
    timespec clickAt{};
    clock_gettime(CLOCK_MONOTONIC, &clickAt);
    hideButton->click();
    const double handOverMs = clock.nsecsElapsed() / 1e6;
    // The rest of a long list follows in later turns of the event loop.
    const int handedOverAtClick = manager.Tester().Total;
    if (!waitUntil([&] { return firstProxyMs >= 0; }, 120000))
        fail("no proxy was applied");
    untilApplied.stop();
    const bool settled = waitUntil([&] { return manager.Tester().ActiveTests() == 0; }, 120000);
    const double settledMs = clock.nsecsElapsed() / 1e6;
    untilSettled.stop();

    const double peakMb = processStatusMb(self, "VmHWM");
    double helpersPeakMb = 0;
    for (qint64 pid : helpers)
        helpersPeakMb += processStatusMb(pid, "VmHWM");
    const QString hideCaption = hideButton->text();

    QStringList lines;
    lines << QStringLiteral("proxies=%1").arg(proxyCount);
    lines << QStringLiteral("tinyproxy_instances=%1").arg(instances);
    lines << QStringLiteral("list_source=list service (download)");
    lines << QStringLiteral("proxy_trace=%1").arg(traceOn ? "on" : "off");
    lines << QStringLiteral("list_loaded_ms=%1").arg(listMs, 0, 'f', 0);
    lines << QStringLiteral("handed_over=%1").arg(manager.Tester().Total);
    lines << QStringLiteral("handed_over_in_click=%1").arg(handedOverAtClick);
    lines << QStringLiteral("applied_proxy=%1").arg(applied);
    lines << QStringLiteral("button_after=%1").arg(hideCaption);
    lines << QStringLiteral("hide_click_ms=%1").arg(handOverMs, 0, 'f', 1);
    lines << QStringLiteral("stall_ms_max_until_applied=%1").arg(untilApplied.maxStallMs(), 0, 'f', 1);
    lines << QStringLiteral("stall_at_ms=%1").arg(untilSettled.maxStallAtMs(), 0, 'f', 0);
    lines << QStringLiteral("stall_thread_cpu_ms=%1").arg(untilSettled.maxStallCpuMs(), 0, 'f', 1);
    lines << QStringLiteral("gaps_over_20ms=%1").arg(untilSettled.gapsOver(20).join(QLatin1Char(' ')));
    lines << QStringLiteral("result_times=%1").arg(resultTimes.join(QLatin1Char(' ')));
    // For lining up a profile taken with perf record -k CLOCK_MONOTONIC.
    lines
        << QStringLiteral("click_monotonic_s=%1.%2").arg(clickAt.tv_sec).arg(clickAt.tv_nsec, 9, 10, QLatin1Char('0'));
    lines << QStringLiteral("tests_ended=%1").arg(settled ? 1 : 0);
    lines << QStringLiteral("tests_ended_ms=%1").arg(settledMs, 0, 'f', 0);
    lines << QStringLiteral("webengine_helpers=%1").arg(helpers.size());
    lines << QStringLiteral("idle_rss_mb=%1").arg(idleMb, 0, 'f', 1);
    lines << QStringLiteral("helpers_rss_mb_above_idle=%1").arg(helpersPeakMb - helpersIdleMb, 0, 'f', 1);
    lines << QStringLiteral("stall_ms_max=%1").arg(untilSettled.maxStallMs(), 0, 'f', 1);
    lines << QStringLiteral("rss_mb_above_idle=%1").arg(peakMb - idleMb, 0, 'f', 1);
    lines << QStringLiteral("first_proxy_ms=%1").arg(firstProxyMs, 0, 'f', 1);
    lines << QStringLiteral("results=%1").arg(results);
    for (const QString& line : lines)
        std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    // Tearing down the web engine and the windows measures nothing; the helpers end with this process.
    std::_Exit(0);
}
