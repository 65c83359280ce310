#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <string>

namespace testsupport {

// A real headless Chromium or Firefox ESR on a profile of the test's choosing, in a process group
// of its own that is killed with the object. Its environment has no desktop, display or proxy
// variables: the browser follows no system proxy at all.
class HeadlessBrowser
{
public:
    enum class Kind
    {
        Chromium,
        Firefox
    };

    HeadlessBrowser(Kind kind, const QString& home, const QString& configHome);
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // The browser's executable, empty when it is not installed.
    static QString executable(Kind kind);

    // Chromium's user data folder is configHome/chromium (where the native messaging hosts are
    // looked up); Firefox's profile is home/.mozilla/firefox/test.default, made with preferences
    // that allow an unsigned companion placed in its extensions/ folder and turn off first-run pages.
    QString profile() const;
    // Puts the Firefox package into the profile (Firefox only).
    bool addFirefoxExtension(const QString& xpi) const;
    // Starts the browser on url and leaves it running; extra arguments go before the url.
    bool start(const QString& url, const QStringList& extra = {});
    // Loads url once and waits until the browser ended by itself (its profile then holds what it stored).
    bool loadOnce(const QString& url, int timeoutMs = 60000);
    // Kills the browser and its helpers.
    void stop();
    // The end of what it printed, for failure messages.
    std::string log() const;

private:
    QStringList arguments(const QString& url, const QStringList& extra, bool once) const;
    bool launch(const QStringList& args);

    Kind m_kind;
    QString m_home;
    QString m_config;
    QString m_log;
    QProcess m_process;
};

} // namespace testsupport
