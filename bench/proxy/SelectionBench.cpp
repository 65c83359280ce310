// Overhead of one proxy selection: from the test result that triggers it until the desktop's proxy settings
// (GNOME through GSettings, KDE's kioslaverc) are written, and those two writes on their own.
// Runs in a private home with GSettings' keyfile backend. Prints name=value lines.
//   bench_proxy_selection [runs]

#include "browsers/GnomeProxySettings.h"
#include "browsers/KdeProxySettings.h"
#include "proxy/BrowserControl.h"
#include "proxy/TProxyManager.h"
#include "support/PrivateHome.h"
#include "util/EngineServices.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// The desktop half of the browsers: what applying a proxy writes into the desktop's settings.
class DesktopBrowsers : public IBrowserControl
{
public:
    DesktopBrowsers(platform::GnomeProxySettings& gnome, platform::KdeProxySettings& kde) : m_gnome(gnome), m_kde(kde)
    {
    }
    void SetIEProxy(const QString& proxy) override
    {
        QElapsedTimer timer;
        timer.start();
        ok = m_gnome.apply(proxy) && ok;
        ok = m_kde.apply(proxy) && ok;
        lastWriteMs = timer.nsecsElapsed() / 1e6;
    }
    void SetFirefoxProxy(const QString&) override {}
    void SetOperaProxy(const QString&) override {}
    void ClearIECookies() override {}
    void ClearFirefoxCookies() override {}
    bool ok = true;
    double lastWriteMs = 0;

private:
    platform::GnomeProxySettings& m_gnome;
    platform::KdeProxySettings& m_kde;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    testsupport::PrivateHome privateHome(home.path());
    privateHome.create();
    privateHome.enter();
    QCoreApplication app(argc, argv);
    // The developer trace would time the terminal, not the program.
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false\nveilport.desktop.info=false"));
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 15;

    platform::GnomeProxySettings gnome;
    platform::KdeProxySettings kde(privateHome.config());
    DesktopBrowsers browsers(gnome, kde);
    TEngineServices quiet;
    if (!gnome.isAvailable())
        std::fprintf(stderr, "gsettings with the proxy schema is missing; GNOME writes will fail\n");

    TProxyManager manager(browsers, quiet, QStringLiteral("http://127.0.0.1:9/getip.php?VER=1"));
    manager.ProxyListReceived(QStringLiteral("ProxyCount=2\nProxy_0=127.0.0.1:3128|i|Canada|f|1|2\n"
                                             "Proxy_1=127.0.0.1:3129|i|Canada|f|1|2\n"));
    manager.ChooseCountry(QStringLiteral("Nowhere"));
    std::vector<double> selection, overhead, gnomeWrite, kdeWrite;
    for (int run = 0; run < runs; ++run) {
        // The last of two results arrives: it completes the run and triggers the selection.
        const QString host = QStringLiteral("127.0.0.1");
        const int port = run % 2 ? 3129 : 3128;
        // A run over a country without proxies empties the ready list and hands nothing over.
        manager.StartHide();
        manager.Tester().Total = 1;
        manager.Tester().Done = 1;
        QElapsedTimer timer;
        timer.start();
        manager.ProxyTested(true, 0, QString(), host, port, 5);
        selection.push_back(timer.nsecsElapsed() / 1e6);
        // Everything of the selection but the desktop writes themselves.
        overhead.push_back(selection.back() - browsers.lastWriteMs);

        timer.restart();
        gnome.apply(QStringLiteral("127.0.0.1:%1").arg(port));
        gnomeWrite.push_back(timer.nsecsElapsed() / 1e6);
        timer.restart();
        kde.apply(QStringLiteral("127.0.0.1:%1").arg(port));
        kdeWrite.push_back(timer.nsecsElapsed() / 1e6);
    }
    const bool written = gnome.readKey("org.gnome.system.proxy", "mode").contains("manual");
    std::printf("runs=%d\n", runs);
    std::printf("writes_ok=%d\n", browsers.ok && written ? 1 : 0);
    std::printf("selection_ms_median=%.2f\n", median(selection));
    std::printf("gnome_write_ms_median=%.2f\n", median(gnomeWrite));
    std::printf("kde_write_ms_median=%.2f\n", median(kdeWrite));
    std::printf("selection_overhead_ms_median=%.3f\n", median(overhead));
    return 0;
}
