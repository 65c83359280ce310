// Instances of the list service sharing one PostgreSQL database split the checks: this measures how many
// checks a second one instance makes, and two on one database, over the same proxies: --hanging loopback
// proxies that accept and never answer (each holds a check for the whole time limit) and --working real
// tinyproxy proxies behind many 127.x.y.z addresses. Each run has a fresh database and one round of checks
// (CheckInterval is a day). The time limit is short (--timeout, 2 s by default, where a host runs 15) so that a
// run takes minutes: a hanging proxy then costs 2 s of a check's place. Prints name=value lines, one
// instance beside two, with each instance's share, its peak memory (VmHWM) and CPU time, and the load
// average, since the machine's cores may bound the second figure rather than the design.
//   bench_listservice_instances [--hanging 10000] [--working 10000] [--timeout 2] [--concurrency 200]
//                               [--tinyproxies 4]

#include "MetricsReading.h"
#include "support/HangingProxies.h"
#include "support/ListServiceFixture.h"
#include "support/PostgresFixture.h"
#include "support/StallMeter.h"
#include "support/TinyproxyFarm.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

using testsupport::ListServiceFixture;

namespace {

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2)
                                       : QStringLiteral("?");
}

// User and system CPU seconds a process has used.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.readAll();
    // Fields after the command name, which may hold spaces, closed by the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 13 ? (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK)) : -1;
}

struct RunResult
{
    bool ok = false;
    double seconds = 0;
    double checksPerSecond = 0;
    double passed = 0;
    std::vector<double> shares; // checks per instance
    std::vector<double> peakMb;
    std::vector<double> cpu;
    QString loadBefore;
    QString loadAfter;
};

RunResult run(int instances, const QString& listFile, int total, int timeoutSec, int concurrency)
{
    RunResult r;
    testsupport::PostgresFixture pg;
    if (!pg.start()) {
        std::fprintf(stderr, "bench_listservice_instances: %s\n", qPrintable(pg.errorText()));
        return r;
    }
    ListServiceFixture::Options options;
    options.extraConfig = {QStringLiteral("Source=bench|plain|%1|86400|100000000").arg(listFile),
                           QStringLiteral("Database=") + pg.url(),
                           QStringLiteral("CheckInterval=86400"),
                           QStringLiteral("AllowPrivateAddresses=on"),
                           QStringLiteral("CheckConcurrency=%1").arg(concurrency),
                           QStringLiteral("CheckTimeout=%1").arg(timeoutSec),
                           QStringLiteral("MaxProxies=%1").arg(total)};
    r.loadBefore = loadAverage();
    std::vector<std::unique_ptr<ListServiceFixture>> services;
    for (int i = 0; i < instances; ++i) {
        services.push_back(std::make_unique<ListServiceFixture>());
        if (!services.back()->start({}, options)) {
            std::fprintf(stderr, "bench_listservice_instances: %s\n", qPrintable(services.back()->errorText()));
            return r;
        }
    }
    auto checks = [&](size_t i) { return metric(services[i]->port(), QStringLiteral("veilport_checks_total")); };
    auto sum = [&] {
        double all = 0;
        for (size_t i = 0; i < services.size(); ++i)
            all += std::max(0.0, checks(i));
        return all;
    };
    // The clock runs from the first finished check, so the sources' storing is not counted.
    if (!testsupport::waitUntil([&] { return sum() > 0; }, 300000, 50)) {
        std::fprintf(stderr, "bench_listservice_instances: no check finished\n");
        return r;
    }
    QElapsedTimer clock;
    clock.start();
    r.ok = testsupport::waitUntil([&] { return sum() >= total; }, 3600000, 200);
    r.seconds = clock.nsecsElapsed() / 1e9;
    r.loadAfter = loadAverage();
    for (size_t i = 0; i < services.size(); ++i) {
        r.shares.push_back(checks(i));
        r.passed += metric(services[i]->port(), QStringLiteral("veilport_checks_total{outcome=\"passed\"}"));
        r.peakMb.push_back(testsupport::processStatusMb(services[i]->processId(), "VmHWM"));
        r.cpu.push_back(cpuSeconds(services[i]->processId()));
    }
    double done = 0;
    for (double s : r.shares)
        done += s;
    r.checksPerSecond = done / r.seconds;
    return r;
}

void print(const char* name, const RunResult& r, int instances)
{
    std::printf("%s.complete=%d\n%s.seconds=%.1f\n%s.checks_per_second=%.1f\n%s.passed=%.0f\n", name, r.ok ? 1 : 0,
                name, r.seconds, name, r.checksPerSecond, name, r.passed);
    for (int i = 0; i < instances && i < int(r.shares.size()); ++i)
        std::printf("%s.instance%d.checks=%.0f\n%s.instance%d.peak_mb=%.1f\n%s.instance%d.cpu_seconds=%.1f\n", name,
                    i + 1, r.shares[size_t(i)], name, i + 1, r.peakMb[size_t(i)], name, i + 1, r.cpu[size_t(i)]);
    std::printf("%s.load_before=%s\n%s.load_after=%s\n", name, qPrintable(r.loadBefore), name, qPrintable(r.loadAfter));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int hanging = 10000, working = 10000, timeoutSec = 2, concurrency = 200, tinyproxies = 4;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const int value = i + 1 < args.size() ? args[i + 1].toInt() : -1;
        if (args[i] == QLatin1String("--hanging"))
            hanging = value, ++i;
        else if (args[i] == QLatin1String("--working"))
            working = value, ++i;
        else if (args[i] == QLatin1String("--timeout"))
            timeoutSec = value, ++i;
        else if (args[i] == QLatin1String("--concurrency"))
            concurrency = value, ++i;
        else if (args[i] == QLatin1String("--tinyproxies"))
            tinyproxies = value, ++i;
        else {
            std::fprintf(stderr, "usage: bench_listservice_instances [--hanging N] [--working N] [--timeout S] "
                                 "[--concurrency N] [--tinyproxies N]\n");
            return 2;
        }
    }
    if (hanging < 0 || working < 0 || hanging + working < 1 || timeoutSec < 1 || concurrency < 1 || tinyproxies < 1) {
        std::fprintf(stderr, "bench_listservice_instances: counts must be positive\n");
        return 2;
    }
    testsupport::HangingProxies dead;
    if (!dead.start()) {
        std::fprintf(stderr, "bench_listservice_instances: %s\n", qPrintable(dead.errorText()));
        return 1;
    }
    testsupport::TinyproxyFarm farm;
    if (working > 0 && !farm.start(tinyproxies)) {
        std::fprintf(stderr, "bench_listservice_instances: %s\n", qPrintable(farm.errorText()));
        return 1;
    }
    QTemporaryDir dir;
    QFile list(dir.filePath(QStringLiteral("proxies.txt")));
    if (!list.open(QIODevice::WriteOnly))
        return 1;
    // Interleaved, so that every stretch of the schedule holds both kinds.
    for (int i = 0; i < std::max(hanging, working); ++i) {
        if (i < working)
            list.write(farm.proxyText(i).toUtf8() + '\n');
        if (i < hanging)
            list.write(dead.proxyText(i).toUtf8() + '\n');
    }
    list.close();
    const int total = hanging + working;
    std::printf("hanging=%d\nworking=%d\ncheck_timeout_s=%d\ncheck_concurrency_per_instance=%d\ncores=%ld\n", hanging,
                working, timeoutSec, concurrency, sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);
    const RunResult one = run(1, list.fileName(), total, timeoutSec, concurrency);
    print("one", one, 1);
    const RunResult two = run(2, list.fileName(), total, timeoutSec, concurrency);
    print("two", two, 2);
    const double ratio = one.checksPerSecond > 0 ? two.checksPerSecond / one.checksPerSecond : 0;
    double peak = 0;
    for (double mb : one.peakMb)
        peak = std::max(peak, mb);
    for (double mb : two.peakMb)
        peak = std::max(peak, mb);
    std::printf("two_over_one=%.2f\npeak_mb_per_instance_max=%.1f\n", ratio, peak);
    return one.ok && two.ok ? 0 : 1;
}
