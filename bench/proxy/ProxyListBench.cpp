// Parses, saves and reloads a 100,000-entry proxy list; prints the times (wall and CPU) and the fresh pages
// touched in each step as name=value lines.
//   bench_proxy_list [entries]

#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "util/EngineServices.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace {

// CPU time of the process, so the figures can be read on a machine shared with other work.
double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Pages the process touched for the first time so far: on a virtual machine each costs several microseconds.
long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

const char* const kCountries[] = {"Canada", "Japan", "Brazil", "Germany", "Kenya", "Peru", "India", "Norway"};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The developer trace would time the terminal, not the program.
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));
    const int entries = argc > 1 ? atoi(argv[1]) : 100000;
    QString text = QStringLiteral("LocalIP=198.51.100.1\r\nLocalCountry=Canada\r\nCountryFlag=http://f/ca.png\r\n"
                                  "LocalLatitude=45.4\r\nLocalLongitude=-75.7\r\nProxyCount=%1\r\n")
                       .arg(entries);
    for (int i = 0; i < entries; ++i) {
        const QString country = QLatin1String(kCountries[i % 8]);
        text += QStringLiteral("Proxy_%1=10.%2.%3.%4:%5|anonymous|%6|http://service/flags/%6.png|%7|%8\r\n")
                    .arg(i)
                    .arg((i >> 16) & 255)
                    .arg((i >> 8) & 255)
                    .arg(i & 255)
                    .arg(3128 + i % 5000)
                    .arg(country)
                    .arg(-75.7 + i % 100)
                    .arg(45.4 - i % 50);
    }

    NullBrowserControl browsers;
    TEngineServices quiet;
    TProxyManager manager(browsers, quiet, QString());
    QTemporaryDir dir;
    const QString file = dir.filePath("proxylist.lst");

    QElapsedTimer timer;
    timer.start();
    const double cpu0 = cpuMs();
    const long faults0 = minorFaults();
    manager.ProxyListReceived(text);
    const double parseMs = timer.nsecsElapsed() / 1e6;
    const double cpu1 = cpuMs();
    const long faults1 = minorFaults();
    timer.restart();
    manager.SaveToFile(file);
    const double saveMs = timer.nsecsElapsed() / 1e6;
    const double cpu2 = cpuMs();
    const long faults2 = minorFaults();
    timer.restart();
    TProxyManager reloaded(browsers, quiet, QString());
    const bool loaded = reloaded.LoadFromFile(file);
    const double loadMs = timer.nsecsElapsed() / 1e6;
    const double cpu3 = cpuMs();
    const long faults3 = minorFaults();

    const bool same = loaded && reloaded.Proxies().size() == entries && manager.Proxies().size() == entries &&
                      reloaded.Proxies().last().Proxy == manager.Proxies().last().Proxy &&
                      reloaded.Countries() == manager.Countries();
    std::printf("entries=%d\n", entries);
    std::printf("list_bytes=%lld\n", (long long)text.toUtf8().size());
    std::printf("roundtrip_ok=%d\n", same ? 1 : 0);
    std::printf("parse_ms=%.1f\n", parseMs);
    std::printf("save_ms=%.1f\n", saveMs);
    std::printf("reload_ms=%.1f\n", loadMs);
    std::printf("parse_cpu_ms=%.1f\n", cpu1 - cpu0);
    std::printf("save_cpu_ms=%.1f\n", cpu2 - cpu1);
    std::printf("reload_cpu_ms=%.1f\n", cpu3 - cpu2);
    std::printf("parse_page_faults=%ld\n", faults1 - faults0);
    std::printf("save_page_faults=%ld\n", faults2 - faults1);
    std::printf("reload_page_faults=%ld\n", faults3 - faults2);
    std::printf("total_cpu_ms=%.1f\n", cpu3 - cpu0);
    std::printf("total_ms=%.1f\n", parseMs + saveMs + loadMs);
    return same ? 0 : 1;
}
