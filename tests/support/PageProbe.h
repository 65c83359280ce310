#pragma once

#include "support/BrowserRunner.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWebSocket>

#include <optional>

namespace testsupport {

// Reads the page a browser started by BrowserRunner::start() shows, while its scripts go on, over the
// browser's own remote protocol on a loopback WebSocket: Chromium's DevTools protocol, Firefox's WebDriver
// BiDi. --dump-dom and --screenshot take the page at its load event, before anything a script settles later.
//
//     BrowserLaunch launch;
//     launch.extraArgs = PageInspector::launchArgs(launch.browser);
//     browsers.start(launch);
//     PageInspector page;
//     ASSERT_TRUE(page.attach(launch.browser, browsers, 30000)) << page.errorText();
//     std::optional<QString> state = page.evaluate("document.title", 5000);
class PageInspector
{
public:
    // The arguments that open the protocol on a free loopback port; the browser prints its address.
    static QStringList launchArgs(BrowserLaunch::Browser browser);

    // Connects to the browser the runner started last and to its page; false, with errorText(), when the
    // browser has not offered its protocol within the time.
    bool attach(BrowserLaunch::Browser browser, const BrowserRunner& runner, int timeoutMs);
    // The value of a JavaScript expression in the page's top frame, which should give a string; nothing,
    // with errorText(), when it fails or the browser does not answer in time.
    std::optional<QString> evaluate(const QString& expression, int timeoutMs);
    QString errorText() const { return m_error; }

private:
    // Sends one command and waits for its answer (the other messages, events, are dropped).
    std::optional<QJsonObject> command(const QString& method, const QJsonObject& params, int timeoutMs);

    BrowserLaunch::Browser m_browser = BrowserLaunch::Browser::Chromium;
    QWebSocket m_socket;
    QList<QJsonObject> m_received;
    int m_nextId = 1;
    QString m_session; // Chromium: the page's session
    QString m_context; // Firefox: the page's browsing context
    QString m_error;
};

} // namespace testsupport
