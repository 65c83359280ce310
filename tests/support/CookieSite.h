#pragma once

#include "support/LoopbackHttpResponder.h"

#include <QString>

namespace testsupport {

// A site for real browsers, on 127.0.0.1 under a host name (see PrivateNetwork): its page
// sets a lasting cookie (vp=1) and then asks for /probe every 300 ms. The site's visit log tells whether each
// probe carried the cookie and whether it came through tinyproxy or from the browser itself. It serves on a
// thread of its own, so the test may block meanwhile.
class CookieSite
{
public:
    explicit CookieSite(const QString& hostName);
    // Listens on a port of 127.0.0.1 that the system chooses, and starts serving.
    bool start();
    // "http://<host name>:<port>/", the page.
    QString url() const;
    // Probes received so far, and how many of them came through tinyproxy.
    int probes() const;
    int proxiedProbes() const;
    // Whether the last probe came through tinyproxy.
    bool lastWasProxied() const;
    // Whether the last probe carried the cookie.
    bool lastHadCookie() const;

private:
    QList<LoopbackHttpResponder::Visit> probeVisits() const;

    QString m_host;
    LoopbackHttpResponder m_server;
};

} // namespace testsupport
