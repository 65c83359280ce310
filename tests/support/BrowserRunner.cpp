#include "support/BrowserRunner.h"

#include "support/PrivateNetwork.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

namespace testsupport {

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

BrowserRunner::BrowserRunner() = default;

BrowserRunner::~BrowserRunner()
{
    stop();
}

QString BrowserRunner::executable(BrowserLaunch::Browser browser)
{
    return QStandardPaths::findExecutable(browser == BrowserLaunch::Browser::Chromium ? QStringLiteral("chromium")
                                                                                      : QStringLiteral("firefox-esr"));
}

QString BrowserRunner::name(BrowserLaunch::Browser browser)
{
    return browser == BrowserLaunch::Browser::Chromium ? QStringLiteral("Chromium") : QStringLiteral("Firefox");
}

std::string BrowserRunner::whyCannotRun(BrowserLaunch::Browser browser, bool inPrivateNetwork)
{
    if (!inPrivateNetwork)
        return "needs a private network: " + PrivateNetwork::error().toStdString();
    if (executable(browser).isEmpty())
        return name(browser).toStdString() + " is not installed (run scripts/setup)";
    return {};
}

QByteArray BrowserRunner::firefoxPrefs()
{
    // The proxy preferences are left at their defaults: out of the box Firefox follows the system settings.
    return "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
           "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
           "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
           "user_pref(\"datareporting.healthreport.uploadEnabled\", false);\n"
           "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
           "user_pref(\"app.update.auto\", false);\n"
           "user_pref(\"extensions.update.enabled\", false);\n"
           "user_pref(\"browser.safebrowsing.update.enabled\", false);\n"
           "user_pref(\"network.captive-portal-service.enabled\", false);\n"
           "user_pref(\"network.connectivity-service.enabled\", false);\n"
           "user_pref(\"browser.region.update.enabled\", false);\n"
           // A plain page must stay plain, or the test would not see a plain request at all.
           "user_pref(\"dom.security.https_first\", false);\n"
           "user_pref(\"dom.security.https_first_schemeless\", false);\n"
           // Names are resolved by the system (and its /etc/hosts), never over DNS over HTTPS.
           "user_pref(\"network.trr.mode\", 5);\n";
}

bool BrowserRunner::launch(const BrowserLaunch& launch, bool once, QString* profile)
{
    stop();
    const QString exe = executable(launch.browser);
    const QString folder = m_dir.file(QStringLiteral("run%1").arg(++m_runs));
    QDir().mkpath(folder);
    *profile = launch.profile.isEmpty() ? folder + QStringLiteral("/profile") : launch.profile;
    QDir().mkpath(*profile);
    m_outputFile = folder + QStringLiteral("/output.txt");
    const auto fail = [&](const QByteArray& why) {
        writeFile(m_outputFile, why);
        return false;
    };
    if (exe.isEmpty())
        return fail(name(launch.browser).toUtf8() + " is not installed (run scripts/setup)");
    // Whatever a browser does in the background (telemetry, updates, safe browsing, captive-portal checks)
    // must not leave the machine: outside the private network it does not start at all.
    if (!PrivateNetwork::entered())
        return fail("a real browser runs only inside a private network (PrivateNetwork::enter)");

    QStringList args;
    QList<QPair<QString, QByteArray>> files;
    if (launch.browser == BrowserLaunch::Browser::Chromium) {
        args = {QStringLiteral("--headless"),
                QStringLiteral("--no-sandbox"),
                QStringLiteral("--disable-gpu"),
                QStringLiteral("--disable-quic"),
                QStringLiteral("--no-first-run"),
                QStringLiteral("--no-default-browser-check"),
                QStringLiteral("--disable-background-networking"),
                QStringLiteral("--disable-component-update"),
                QStringLiteral("--disable-sync"),
                QStringLiteral("--user-data-dir=") + *profile};
        // Chromium's release builds refuse --load-extension unless this feature is off.
        if (!launch.extension.isEmpty())
            args << QStringLiteral("--disable-features=DisableLoadExtensionCommandLineSwitch")
                 << QStringLiteral("--load-extension=") + launch.extension;
        args += launch.extraArgs;
        if (once)
            args << QStringLiteral("--dump-dom");
    } else {
        QByteArray prefs = firefoxPrefs();
        if (!launch.extension.isEmpty()) {
            QFile package(launch.extension);
            if (!package.open(QIODevice::ReadOnly))
                return fail("cannot read " + QFile::encodeName(launch.extension));
            files.append({QStringLiteral("extensions/") + launch.firefoxExtensionId + QStringLiteral(".xpi"),
                          package.readAll()});
            // Debian's Firefox ESR runs an unsigned extension when the profile says so; one placed in the
            // profile's extensions folder is enabled without asking.
            prefs += "user_pref(\"xpinstall.signatures.required\", false);\n"
                     "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                     "user_pref(\"extensions.enabledScopes\", 15);\n";
        }
        files.append({QStringLiteral("user.js"), prefs});
        args = {QStringLiteral("--headless"), QStringLiteral("--no-remote"), QStringLiteral("--profile"), *profile};
        args += launch.extraArgs;
        if (once)
            args << QStringLiteral("--screenshot") << folder + QStringLiteral("/page.png");
    }
    args << launch.url;
    for (const auto& file : launch.profileFiles) {
        files.removeIf([&](const QPair<QString, QByteArray>& own) { return own.first == file.first; });
        files.append(file);
    }
    for (const auto& [path, bytes] : files) {
        if (!writeFile(*profile + u'/' + path, bytes))
            return fail("cannot write " + path.toUtf8() + " into the profile");
    }

    QProcessEnvironment env = launch.environment;
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_browser = std::make_unique<QProcess>();
    m_browser->setProcessEnvironment(env);
    m_browser->setStandardOutputFile(m_outputFile);
    m_browser->setStandardErrorFile(m_outputFile, QIODevice::Append);
    // Its own process group, so that its helper processes can be ended with it; and it ends with the test.
    m_browser->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    m_browser->start(exe, args);
    if (m_browser->waitForStarted(10000)) {
        m_group = m_browser->processId();
        return true;
    }
    const QByteArray why = "\ncould not start " + exe.toUtf8() + ": " + m_browser->errorString().toUtf8();
    m_browser.reset();
    QFile output(m_outputFile);
    if (output.open(QIODevice::Append))
        output.write(why);
    return false;
}

BrowserRun BrowserRunner::load(const BrowserLaunch& launch)
{
    BrowserRun run;
    run.started = this->launch(launch, true, &run.profile);
    if (run.started) {
        run.timedOut = !m_browser->waitForFinished(launch.timeoutMs);
        run.exitCode = m_browser->exitStatus() == QProcess::NormalExit ? m_browser->exitCode() : -1;
        // Helpers that outlive the browser (or a browser that hangs) would hold the profile and the cores.
        stop();
    }
    run.output = output();
    return run;
}

bool BrowserRunner::start(const BrowserLaunch& launch)
{
    QString profile;
    return this->launch(launch, false, &profile);
}

bool BrowserRunner::running() const
{
    return m_browser && m_browser->state() != QProcess::NotRunning;
}

void BrowserRunner::stop()
{
    if (!m_browser)
        return;
    // The group outlives a browser that has ended by itself while its helpers go on (its id is kept from the
    // start: a process that has ended has none, and kill(0) would end the test's own group).
    if (m_group > 0)
        ::kill(-pid_t(m_group), SIGKILL);
    m_group = 0;
    m_browser->kill();
    m_browser->waitForFinished(10000);
    m_browser.reset();
}

QByteArray BrowserRunner::output() const
{
    QFile file(m_outputFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QProcessEnvironment BrowserRunner::environmentWithoutProxy(const QString& home, const QString& configHome)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    // GLib's in-memory settings hold no proxy, and with no desktop named neither browser reads KDE's.
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    for (const char* name :
         {"XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION", "KDE_SESSION_VERSION", "http_proxy", "https_proxy", "HTTP_PROXY",
          "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(name));
    return env;
}

} // namespace testsupport
