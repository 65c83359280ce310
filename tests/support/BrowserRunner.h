#pragma once

#include "support/TempDir.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>
#include <ostream>
#include <string>

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
    // The profile folder; empty for a new one of the runner's own. A test that must find the profile where the
    // program looks for it (~/.mozilla/firefox/NAME, $XDG_CONFIG_HOME/chromium) names that folder here.
    QString profile;
    // An extension to load: Chromium's unpacked folder, from the command line; or Firefox's package, installed
    // into the profile under firefoxExtensionId with preferences that let an unsigned extension run.
    QString extension;
    QString firefoxExtensionId;
    int timeoutMs = 60000;
};

// Test names and failure messages say which browser (parameterised tests pass it).
inline void PrintTo(BrowserLaunch::Browser browser, std::ostream* out)
{
    *out << (browser == BrowserLaunch::Browser::Chromium ? "Chromium" : "Firefox");
}

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

// Real Chromium and Firefox ESR, headless, each run on a new empty profile (or one of the test's choosing),
// loading one page and ending:
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
// start() instead leaves the browser running on its page (with an extension that talks to the test, say) until
// stop() or the runner's end, while the test's event loop goes on; one such browser at a time.
//
// A browser starts only inside a private network (see PrivateNetwork, which also gives a loopback site the host
// name browsers need to send its requests through a proxy), so that nothing it does in the background can leave
// the machine.
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
    // Why a test of this browser cannot run here (no private network entered, browser not installed); empty
    // when it can.
    static std::string whyCannotRun(BrowserLaunch::Browser browser, bool inPrivateNetwork);
    // The runner's own Firefox preferences (the user.js of every new profile), for callers that add to them.
    static QByteArray firefoxPrefs();

    // Starts the browser on a new empty profile, loads launch.url, and waits until it ends or the time is up.
    BrowserRun load(const BrowserLaunch& launch);

    // Starts the browser on launch.url and leaves it running (launch.timeoutMs does not apply); false when it
    // could not start, with the reason in output(). A browser started before is stopped first.
    bool start(const BrowserLaunch& launch);
    bool running() const;
    // Kills the running browser with its helpers (and a native messaging host it started).
    void stop();
    // What the browser started last has printed so far.
    QByteArray output() const;

    // An environment with this home and configuration folder that follows no desktop proxy setting and no
    // proxy variable at all: whatever proxy the browser uses, its own setting (or a companion) chose.
    static QProcessEnvironment environmentWithoutProxy(const QString& home, const QString& configHome);

private:
    // Writes the profile's files and starts the browser; false, with the reason in the output file, otherwise.
    bool launch(const BrowserLaunch& launch, bool once, QString* profile);

    TempDir m_dir;
    int m_runs = 0;
    QString m_outputFile;
    std::unique_ptr<QProcess> m_browser;
    qint64 m_group = 0; // the running browser's process group
};

} // namespace testsupport
