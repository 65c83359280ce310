#include "support/BrowserRunner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

QString& hostsError()
{
    static QString error;
    return error;
}

QString systemError(const char* what)
{
    return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

BrowserRunner::BrowserRunner() = default;

BrowserRunner::~BrowserRunner() = default;

QString BrowserRunner::executable(BrowserLaunch::Browser browser)
{
    return QStandardPaths::findExecutable(browser == BrowserLaunch::Browser::Chromium ? QStringLiteral("chromium")
                                                                                      : QStringLiteral("firefox-esr"));
}

QString BrowserRunner::name(BrowserLaunch::Browser browser)
{
    return browser == BrowserLaunch::Browser::Chromium ? QStringLiteral("Chromium") : QStringLiteral("Firefox");
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

BrowserRun BrowserRunner::load(const BrowserLaunch& launch)
{
    BrowserRun run;
    const QString exe = executable(launch.browser);
    const QString folder = m_dir.file(QStringLiteral("run%1").arg(++m_runs));
    run.profile = folder + QStringLiteral("/profile");
    QDir().mkpath(run.profile);
    if (exe.isEmpty()) {
        run.output = name(launch.browser).toUtf8() + " is not installed (run scripts/setup)";
        return run;
    }

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
                QStringLiteral("--user-data-dir=") + run.profile};
        args += launch.extraArgs;
        args << QStringLiteral("--dump-dom") << launch.url;
    } else {
        files.append({QStringLiteral("user.js"), firefoxPrefs()});
        args = {QStringLiteral("--headless"), QStringLiteral("--no-remote"), QStringLiteral("--profile"), run.profile};
        args += launch.extraArgs;
        args << QStringLiteral("--screenshot") << folder + QStringLiteral("/page.png") << launch.url;
    }
    for (const auto& file : launch.profileFiles) {
        files.removeIf([&](const QPair<QString, QByteArray>& own) { return own.first == file.first; });
        files.append(file);
    }
    for (const auto& [path, bytes] : files) {
        if (!writeFile(run.profile + u'/' + path, bytes)) {
            run.output = "cannot write " + path.toUtf8() + " into the profile";
            return run;
        }
    }

    QProcessEnvironment env = launch.environment;
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QProcess browser;
    browser.setProcessEnvironment(env);
    const QString outputFile = folder + QStringLiteral("/output.txt");
    browser.setStandardOutputFile(outputFile);
    browser.setStandardErrorFile(outputFile, QIODevice::Append);
    // Its own process group, so that its helper processes can be ended with it; and it ends with the test.
    browser.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    browser.start(exe, args);
    run.started = browser.waitForStarted(10000);
    if (run.started) {
        const qint64 group = browser.processId();
        run.timedOut = !browser.waitForFinished(launch.timeoutMs);
        // Helpers that outlive the browser (or a browser that hangs) would hold the profile and the cores.
        ::kill(-pid_t(group), SIGKILL);
        browser.waitForFinished(5000);
        run.exitCode = browser.exitStatus() == QProcess::NormalExit ? browser.exitCode() : -1;
    }
    QFile output(outputFile);
    if (output.open(QIODevice::ReadOnly))
        run.output = output.readAll();
    if (!run.started)
        run.output += "\ncould not start " + exe.toUtf8() + ": " + browser.errorString().toUtf8();
    return run;
}

bool BrowserRunner::enterPrivateHosts(const QStringList& names)
{
    if (::geteuid() != 0) {
        hostsError() = QStringLiteral("not root, and only root may enter a mount namespace");
        return false;
    }
    QFile system(QStringLiteral("/etc/hosts"));
    QByteArray hosts = system.open(QIODevice::ReadOnly) ? system.readAll() : QByteArray("127.0.0.1 localhost\n");
    if (!hosts.endsWith('\n'))
        hosts += '\n';
    for (const QString& name : names)
        hosts += "127.0.0.1 " + name.toUtf8() + '\n';

    char path[] = "/tmp/veilport-hosts-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        hostsError() = systemError("cannot write a hosts file");
        return false;
    }
    const bool written = ::write(fd, hosts.constData(), size_t(hosts.size())) == hosts.size();
    ::fchmod(fd, 0644);
    ::close(fd);
    bool entered = false;
    if (!written)
        hostsError() = systemError("cannot write a hosts file");
    else if (::unshare(CLONE_NEWNS) != 0)
        hostsError() = systemError("unshare(CLONE_NEWNS) refused");
    // Mounts made here must not reach the machine's own namespace.
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        hostsError() = systemError("cannot make the mounts private");
    else if (::mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        hostsError() = systemError("cannot bind a hosts file over /etc/hosts");
    else
        entered = true;
    // The bind mount keeps the file alive for as long as this namespace lives.
    ::unlink(path);
    return entered;
}

QString BrowserRunner::privateHostsError()
{
    return hostsError();
}

} // namespace testsupport
