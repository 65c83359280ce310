#include "support/HeadlessBrowser.h"

#include "support/EndsWithParent.h"
#include "support/HostilePeerLimits.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <csignal>

#include <unistd.h>

namespace testsupport {

namespace {

const QByteArray kFirefoxPrefs = "user_pref(\"xpinstall.signatures.required\", false);\n"
                                 "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                                 "user_pref(\"extensions.enabledScopes\", 15);\n"
                                 "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                 "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
                                 "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                                 "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
                                 "user_pref(\"app.update.disabledForTesting\", true);\n"
                                 "user_pref(\"dom.security.https_first\", false);\n"
                                 "user_pref(\"network.proxy.type\", 5);\n";

} // namespace

HeadlessBrowser::HeadlessBrowser(Kind kind, const QString& home, const QString& configHome)
    : m_kind(kind), m_home(home), m_config(configHome), m_log(home + QStringLiteral("/../browser-%1.log"))
{
    m_log = m_log.arg(kind == Kind::Firefox ? QStringLiteral("firefox") : QStringLiteral("chromium"));
    QDir().mkpath(m_home);
    QDir().mkpath(m_config);
    QDir().mkpath(profile());
    if (kind == Kind::Firefox) {
        QFile prefs(profile() + QStringLiteral("/user.js"));
        if (prefs.open(QIODevice::WriteOnly | QIODevice::Truncate))
            prefs.write(kFirefoxPrefs);
    }
}

HeadlessBrowser::~HeadlessBrowser()
{
    stop();
}

QString HeadlessBrowser::executable(Kind kind)
{
    return QStandardPaths::findExecutable(kind == Kind::Firefox ? QStringLiteral("firefox-esr")
                                                                : QStringLiteral("chromium"));
}

QString HeadlessBrowser::profile() const
{
    return m_kind == Kind::Firefox ? m_home + QStringLiteral("/.mozilla/firefox/test.default")
                                   : m_config + QStringLiteral("/chromium");
}

bool HeadlessBrowser::addFirefoxExtension(const QString& xpi) const
{
    const QString folder = profile() + QStringLiteral("/extensions");
    QDir().mkpath(folder);
    return QFile::copy(xpi, folder + QStringLiteral("/companion@veilport.org.xpi"));
}

QStringList HeadlessBrowser::arguments(const QString& url, const QStringList& extra, bool once) const
{
    QStringList args;
    if (m_kind == Kind::Firefox) {
        args << QStringLiteral("--headless") << QStringLiteral("--no-remote") << QStringLiteral("--profile")
             << profile();
        if (once)
            args << QStringLiteral("--screenshot") << profile() + QStringLiteral("/../shot.png");
    } else {
        args << QStringLiteral("--headless=new") << QStringLiteral("--no-sandbox") << QStringLiteral("--no-first-run")
             << QStringLiteral("--user-data-dir=") + profile();
        if (once)
            args << QStringLiteral("--dump-dom");
    }
    return args + extra + QStringList{url};
}

bool HeadlessBrowser::start(const QString& url, const QStringList& extra)
{
    return launch(arguments(url, extra, false));
}

bool HeadlessBrowser::launch(const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config);
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    for (const char* name : {"XDG_CURRENT_DESKTOP", "DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy",
                             "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(name));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_log, QIODevice::Append);
    // A group of its own, so that the browser's helpers (and a native messaging host) end with it.
    m_process.setChildProcessModifier([] { ::setpgid(0, 0); });
    EndsWithParent(m_process);
    m_process.start(executable(m_kind), args);
    return m_process.waitForStarted(10000);
}

bool HeadlessBrowser::loadOnce(const QString& url, int timeoutMs)
{
    if (!launch(arguments(url, {}, true)))
        return false;
    // The event loop keeps running meanwhile: the site the browser loads may live on this thread.
    const bool ended = spinUntil([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    stop();
    return ended;
}

void HeadlessBrowser::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(-pid_t(m_process.processId()), SIGKILL);
    m_process.kill();
    m_process.waitForFinished(10000);
}

std::string HeadlessBrowser::log() const
{
    QFile file(m_log);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().right(3000).toStdString();
}

} // namespace testsupport
