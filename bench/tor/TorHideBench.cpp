// Hiding through Veilport's own tor as the program does it: the real proxy manager with the real TorRoute over a
// private Tor network on loopback (inside a network namespace of this process's own, needs root), httpbin as the
// check page, and the real desktop browsers behind the log-in guard, writing GNOME's proxy into the keyfile of a
// private home (read back from the file itself). Prints, per run:
//   hide_to_desktop_cold_ms  StartHide with tor not running → the keyfile names tor's SOCKS port
//   ready_to_desktop_ms      the route's ready() → the keyfile names the port (bootstrap excluded)
//   hide_to_seen_exit_ms     StartHide → proxyVerified with the address of one of the network's exits
//   rotation_ms              the automatic change (ChangeIP) → proxyVerified with the other exit's address
//   rotation_identities      how many new identities tor gave until then (one each 10 s at most)
//   stop_to_direct_ms        StopHide → the keyfile back to 'none' and tor ended
//   bench_tor_hide [--runs N]
// A failed step prints error=<text> and the program ends with 1.

#include "browsers/DesktopBrowsers.h"
#include "browsers/LoginGuardBrowserControl.h"
#include "config/TSettings.h"
#include "platform/XdgAutostart.h"
#include "proxy/TProxyManager.h"
#include "tor/TorController.h"
#include "tor/TorRoute.h"
#include "util/EngineServices.h"

#include "BenchOutput.h"
#include "support/BrowserTestHome.h"
#include "support/HttpbinJudge.h"
#include "support/PrivateNetwork.h"
#include "support/PrivateTorClient.h"
#include "support/PrivateTorNetwork.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <memory>

using testsupport::PrivateTorNetwork;
using testsupport::waitUntil;

namespace {

// Entered before Qt starts any thread, so that every thread and child lives inside.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter();

// Looks often enough for milliseconds to mean something, while leaving the cores to the network's tors.
constexpr int kRestMs = 2;
// A change of exit gives up after this many minutes; the bench waits a little longer for its answer.
constexpr int kChangeMinutes = 3;

// What the desktop's proxy is, as GNOME's keyfile holds it: "none", "socks <port>" when it names a SOCKS proxy
// on 127.0.0.1, otherwise the mode as written.
QString desktopProxy(const QString& keyfile)
{
    QFile file(keyfile);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("none");
    QByteArray group;
    QByteArray mode = "'none'";
    QByteArray host;
    QByteArray port;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            group = line;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (group == "[system/proxy]" && key == "mode")
            mode = value;
        else if (group == "[system/proxy/socks]" && key == "host")
            host = value;
        else if (group == "[system/proxy/socks]" && key == "port")
            port = value;
    }
    if (mode == "'manual'" && host == "'127.0.0.1'")
        return QStringLiteral("socks ") + QString::fromLatin1(port);
    return QString::fromLatin1(mode).remove(u'\'');
}

int runOnce(const PrivateTorNetwork& network, const testsupport::HttpbinJudge& judge, IBrowserControl& browsers,
            const QString& keyfile)
{
    testsupport::TempDir dir;
    TorOptions options = testsupport::privateTorClient(network, dir.file(QStringLiteral("client")));
    options.checkUrl = judge.url(QStringLiteral("/get?show_env=1"));
    TorRoute route(options);
    TEngineServices quiet;
    TProxyManager manager(browsers, quiet, QStringLiteral("http://127.0.0.1:9/getip.php?VER=2"));

    QStringList exits;
    for (const QHostAddress& address : network.exitAddresses())
        exits << address.toString();
    QElapsedTimer clock;
    qint64 readyAt = -1;
    quint16 port = 0;
    QString failed;
    QStringList seen;
    qint64 seenAt = -1;
    int identities = 0;
    QObject::connect(&route, &IExitRoute::ready, [&](const QString&, quint16 socksPort) {
        if (readyAt < 0)
            readyAt = clock.elapsed();
        port = socksPort;
    });
    QObject::connect(&route, &IExitRoute::failed,
                     [&](const QString& message) { failed = QStringLiteral("tor failed: ") + message; });
    // Hiding that ends by itself (no exit of the country, a desktop that cannot be written) ends the run.
    QObject::connect(&manager, &TProxyManager::stopped, [&] {
        if (failed.isEmpty())
            failed = QStringLiteral("hiding stopped by itself");
    });
    QObject::connect(&route, &IExitRoute::identityChanged, [&] { ++identities; });
    QObject::connect(&manager, &TProxyManager::proxyVerified, [&](const TProxyRec&, const QString& address) {
        seen << address;
        if (seenAt < 0 && exits.contains(address))
            seenAt = clock.elapsed();
    });

    // Joined after the handlers above, so that ready() is timed before the manager takes it up.
    manager.SetExitRoute(&route);
    manager.SwitchExitRoute(true);
    manager.ChooseCountry(kAutoSelected);
    manager.SetLeakCheck(true);
    manager.SetChangeInterval(kChangeMinutes);

    if (route.controller().state() != TorController::State::Stopped)
        return failure(QStringLiteral("tor runs before the hide"));
    clock.start();
    manager.StartHide();
    qint64 desktopAt = -1;
    waitUntil(
        [&] {
            if (desktopAt < 0 && port != 0 && desktopProxy(keyfile) == QStringLiteral("socks %1").arg(port))
                desktopAt = clock.elapsed();
            return (desktopAt >= 0 && seenAt >= 0) || !failed.isEmpty();
        },
        options.bootstrapTimeoutMs + 60000, kRestMs);
    if (!failed.isEmpty())
        return failure(failed);
    if (desktopAt < 0)
        return failure(QStringLiteral("the desktop never named tor's port; it holds ") + desktopProxy(keyfile));
    if (seenAt < 0)
        return failure(QStringLiteral("no check saw an exit; seen: ") + seen.join(u' '));
    print("hide_to_desktop_cold_ms", desktopAt);
    print("ready_to_desktop_ms", desktopAt - readyAt);
    print("hide_to_seen_exit_ms", seenAt);
    const QString first = seen.constLast();
    print("seen_exit", first);

    seen.clear();
    identities = 0;
    clock.restart();
    manager.ChangeIP();
    const auto moved = [&] {
        for (const QString& address : seen)
            if (address != first && exits.contains(address))
                return true;
        return false;
    };
    waitUntil([&] { return moved() || !failed.isEmpty(); }, kChangeMinutes * 60000 + 30000, kRestMs);
    if (!moved())
        return failure(QStringLiteral("sites never saw another exit: ") +
                       (failed.isEmpty() ? seen.join(u' ') : failed));
    print("rotation_ms", clock.elapsed());
    print("rotation_identities", identities);
    print("seen_after", seen.constLast());

    // tor has ended once its controller says so and its process is gone.
    const qint64 torPid = route.controller().processId();
    bool torStopped = false;
    QObject::connect(&route.controller(), &TorController::stopped, [&] { torStopped = true; });
    const auto torEnded = [&] { return torStopped && !QFile::exists(QStringLiteral("/proc/%1").arg(torPid)); };
    if (torPid == 0)
        return failure(QStringLiteral("tor is not running before the stop"));
    clock.restart();
    failed.clear();
    manager.StopHide();
    const bool direct =
        waitUntil([&] { return desktopProxy(keyfile) == QLatin1String("none") && torEnded(); }, 30000, kRestMs);
    if (!direct)
        return failure(QStringLiteral("after the stop the desktop holds ") + desktopProxy(keyfile) +
                       QStringLiteral(" and tor %1").arg(torEnded() ? "has ended" : "runs"));
    print("stop_to_direct_ms", clock.elapsed());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!g_privateNetwork)
        return failure(QStringLiteral("no private network (needs root): ") + testsupport::PrivateNetwork::error());

    testsupport::BrowserTestHome home;
    const QString keyfile = home.configFolder() + QStringLiteral("/glib-2.0/settings/keyfile");
    // The browsers as the program builds them: the log-in guard first, the desktop written in the background.
    DesktopBrowsers browsers(*Settings());
    platform::XdgAutostart autostart(home.path(QStringLiteral("autostart")));
    LoginGuardBrowserControl guard(browsers.routines(), autostart, home.path(QStringLiteral("DesktopGuard.dat")),
                                   [&](std::function<void()> job) { browsers.post(std::move(job)); });
    browsers.setWritesInBackground(true);

    PrivateTorNetwork network;
    if (!network.start(home.path(QStringLiteral("network"))))
        return failure(network.errorText());
    testsupport::HttpbinJudge judge;
    if (!judge.start(PrivateTorNetwork::serverAddress()))
        return failure(judge.errorText());

    const int code = repeatRuns(app.arguments(), [&] { return runOnce(network, judge, guard, keyfile); });
    browsers.setWritesInBackground(false);
    return code;
}
