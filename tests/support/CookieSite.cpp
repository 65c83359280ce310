#include "support/CookieSite.h"

#include <algorithm>

namespace testsupport {

CookieSite::CookieSite(const QString& hostName) : m_host(hostName) {}

bool CookieSite::start()
{
    if (!m_server.listen(1))
        return false;
    m_server.setReply(200,
                      "<html><body><script>let n = 0; setInterval(() => fetch('/probe?' + n++, "
                      "{cache: 'no-store'}).catch(() => {}), 300);</script></body></html>",
                      "text/html", "Set-Cookie: vp=1; Max-Age=3600; Path=/\r\nCache-Control: no-store\r\n");
    // A probe's answer sets nothing, so a cleared cookie stays cleared.
    m_server.setReplyFor("/probe", 200, "ok", "text/plain", "Cache-Control: no-store\r\n");
    m_server.recordVisits();
    m_server.start();
    return true;
}

QString CookieSite::url() const
{
    return QStringLiteral("http://%1:%2/").arg(m_host).arg(m_server.port(0));
}

QList<LoopbackHttpResponder::Visit> CookieSite::probeVisits() const
{
    QList<LoopbackHttpResponder::Visit> probes = m_server.visits();
    probes.removeIf([](const LoopbackHttpResponder::Visit& visit) { return !visit.request.startsWith("GET /probe"); });
    return probes;
}

int CookieSite::probes() const
{
    return int(probeVisits().size());
}

int CookieSite::proxiedProbes() const
{
    const QList<LoopbackHttpResponder::Visit> probes = probeVisits();
    return int(std::count_if(probes.begin(), probes.end(),
                             [](const LoopbackHttpResponder::Visit& visit) { return visit.peer == "tinyproxy"; }));
}

bool CookieSite::lastWasProxied() const
{
    const QList<LoopbackHttpResponder::Visit> probes = probeVisits();
    return !probes.isEmpty() && probes.last().peer == "tinyproxy";
}

bool CookieSite::lastHadCookie() const
{
    const QList<LoopbackHttpResponder::Visit> probes = probeVisits();
    return !probes.isEmpty() && probes.last().cookie.contains("vp=1");
}

} // namespace testsupport
