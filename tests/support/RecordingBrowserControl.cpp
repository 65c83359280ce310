#include "support/RecordingBrowserControl.h"

#include <stdexcept>

namespace testsupport {

void RecordingBrowserControl::SetIEProxy(const QString& proxy)
{
    calls << QStringLiteral("IE:") + proxy;
}

void RecordingBrowserControl::SetFirefoxProxy(const QString& proxy)
{
    calls << QStringLiteral("Firefox:") + proxy;
}

void RecordingBrowserControl::SetOperaProxy(const QString& proxy)
{
    calls << QStringLiteral("Opera:") + proxy;
    if (failOpera)
        throw std::runtime_error("Unable to write to opera6.ini");
}

QStringList RecordingBrowserControl::appliedProxies() const
{
    QStringList applied;
    for (const QString& call : calls) {
        if (call.startsWith(QStringLiteral("IE:")) && call.size() > 3)
            applied << call.mid(3);
    }
    return applied;
}

void RecordingBrowserControl::ClearIECookies()
{
    calls << QStringLiteral("ClearIE");
}

void RecordingBrowserControl::ClearFirefoxCookies()
{
    calls << QStringLiteral("ClearFirefox");
}

} // namespace testsupport
