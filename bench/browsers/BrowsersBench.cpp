// Times the desktop proxy writes on their own and the whole system-proxy step, in a private
// home (GSettings keyfile backend, temporary XDG_CONFIG_HOME). Prints name=value lines; times
// are medians in milliseconds.
#include "config/TSettings.h"
#include "browsers/GnomeProxySettings.h"
#include "browsers/KdeProxySettings.h"
#include "platform/ProcessRunner.h"
#include "browsers/TBrowserRoutines.h"
#include "support/PrivateHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double medianMs(int runs, const std::function<void(int)>& step)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        step(i);
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

QString proxyFor(int i)
{
    return QStringLiteral("10.0.%1.%2:%3").arg(i / 250).arg(i % 250 + 1).arg(3128 + i);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int requested = qEnvironmentVariableIntValue("VEILPORT_BENCH_RUNS");
    const int runs = requested > 0 ? qMax(3, requested) : 15;

    QTemporaryDir home;
    testsupport::PrivateHome privateHome(home.path());
    privateHome.create();
    privateHome.enter();
    privateHome.setVariable("DBUS_SESSION_BUS_ADDRESS", QByteArray());
    QDir().mkpath(home.filePath(QStringLiteral("program")));
    QFile constDat(home.filePath(QStringLiteral("program/const.dat")));
    if (constDat.open(QIODevice::WriteOnly))
        constDat.write("[const]\nApp.ConfigPath=Veilport\n");
    constDat.close();
    InitSettings(home.filePath(QStringLiteral("program")));
    Settings()->OpenSettingsFile(false);

    std::printf("runs=%d\n", runs);
    // Which desktop stores get written: decided once per store object (GNOME asks gsettings).
    std::printf("store_selection_ms=%.2f\n", medianMs(runs, [](int) {
                    platform::GnomeProxySettings fresh;
                    platform::KdeProxySettings freshKde;
                    fresh.isAvailable();
                    freshKde.isAvailable();
                }));
    platform::GnomeProxySettings gnome;
    platform::KdeProxySettings kde;
    std::printf("gnome_available=%d\n", gnome.isAvailable() ? 1 : 0);
    if (gnome.isAvailable()) {
        std::printf("gnome_apply_ms=%.2f\n", medianMs(runs, [&](int i) { gnome.apply(proxyFor(i)); }));
        std::printf("gnome_clear_ms=%.2f\n", medianMs(runs, [&](int) { gnome.apply(QString()); }));
    }
    std::printf("kde_apply_ms=%.3f\n", medianMs(runs, [&](int i) { kde.apply(proxyFor(i)); }));
    std::printf("kde_clear_ms=%.3f\n", medianMs(runs, [&](int) { kde.apply(QString()); }));

    platform::LocalProcessRunner processes;
    TBrowserRoutines::Platform p;
    p.settings = Settings();
    p.desktopProxies = {&gnome, &kde};
    p.processes = &processes;
    TBrowserRoutines routines(p);
    std::printf("system_proxy_step_ms=%.2f\n", medianMs(runs, [&](int i) { routines.SetIEProxy(proxyFor(i)); }));

    // Locating Firefox on PATH when nothing is stored yet (nothing found is the slow case).
    std::printf("firefox_lookup_ms=%.3f\n", medianMs(runs, [&](int) {
                    Settings()->WriteString(QStringLiteral("FireFoxPath"), QString());
                    routines.GetFirefoxPath();
                }));

    const QString opera = TBrowserRoutines::OperaProfileFile();
    QDir().mkpath(QFileInfo(opera).absolutePath());
    QFile operaFile(opera);
    if (operaFile.open(QIODevice::WriteOnly))
        operaFile.write("[User Prefs]\nLanguage=en\n\n[Proxy]\nUse HTTP=0\n");
    operaFile.close();
    std::printf("opera_write_ms=%.3f\n", medianMs(runs, [&](int i) { routines.SetOperaProxy(proxyFor(i)); }));

    DoneSettings();
    return 0;
}
