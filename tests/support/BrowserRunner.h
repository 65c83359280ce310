#pragma once

#include "support/TempDir.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace testsupport {

// What to load, in which browser, and how.
struct BrowserLaunch
{
    enum class Browser
    {
        Chromium,
        Firefox
    };

    Browser browser = Browser::Chromium;
    QString url;
    // The browser's environment: HOME, XDG_CONFIG_HOME, XDG_CURRENT_DESKTOP, KDE_SESSION_VERSION and
    // GSETTINGS_BACKEND decide which desktop proxy settings it follows. DISPLAY and WAYLAND_DISPLAY are
    // dropped: the browser runs headless.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // More arguments, placed before the URL (an extension to load, a feature switch).
    QStringList extraArgs;
    // Files written into the new profile before the start, as (path inside the profile, contents). A file
    // named like one of the runner's own (Firefox's user.js, see firefoxPrefs()) replaces it.
    QList<QPair<QString, QByteArray>> profileFiles;
    int timeoutMs = 60000;
};

// How one browser run ended.
struct BrowserRun
{
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;
    QString profile;   // the profile folder it used
    QByteArray output; // everything it printed
    // Started, loaded and ended on its own in time.
    bool ok() const { return started && !timedOut; }
};

// Real Chromium and Firefox ESR, headless, each run on a new empty profile, loading one page and ending:
//
//     BrowserRunner browsers;
//     BrowserLaunch launch;
//     launch.browser = BrowserLaunch::Browser::Firefox;
//     launch.url = "http://site.veilport.test:8080/page.html";
//     launch.environment = env; // whose desktop settings it follows
//     const BrowserRun run = browsers.load(launch);
//
// Chromium runs as root without its sandbox (as CI runs), with its background traffic, first-run pages and
// QUIC off, and prints the page (--dump-dom). Firefox runs with --no-remote and a user.js that turns off
// first-run pages, telemetry, updates, HTTPS-first and its own DNS over HTTPS, and saves a picture of the page
// (--screenshot). Both end when the page has loaded; a run is bounded by its time limit, and whatever is left
// of the browser (its whole process group) is killed afterwards.
//
// Browsers reach a loopback site through a proxy only under a host name (they send requests for "localhost"
// and loopback addresses direct): enterPrivateHosts() gives the test process, and every process it starts, a
// private /etc/hosts with such names.
class BrowserRunner
{
public:
    BrowserRunner();
    ~BrowserRunner();
    BrowserRunner(const BrowserRunner&) = delete;
    BrowserRunner& operator=(const BrowserRunner&) = delete;

    // The browser's executable, empty when it is not installed.
    static QString executable(BrowserLaunch::Browser browser);
    // "Chromium" or "Firefox", for messages.
    static QString name(BrowserLaunch::Browser browser);
    // The runner's own Firefox preferences (the user.js of every new profile), for callers that add to them.
    static QByteArray firefoxPrefs();

    // Starts the browser on a new empty profile, loads launch.url, and waits until it ends or the time is up.
    BrowserRun load(const BrowserLaunch& launch);

    // Moves this process into its own mount namespace with a private /etc/hosts (the system's lines, plus
    // each name for 127.0.0.1), which every process it starts afterwards sees too. Call it while the process
    // has a single thread, as a static initializer or the first thing in main(): a namespace entered later
    // holds only the calling thread. Needs root; false, with the reason in privateHostsError(), otherwise.
    static bool enterPrivateHosts(const QStringList& names);
    static QString privateHostsError();

private:
    TempDir m_dir;
    int m_runs = 0;
};

} // namespace testsupport
