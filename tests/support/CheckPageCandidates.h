#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <optional>

namespace testsupport {

// The addresses the list service's check page found among its WebRTC candidates, from the page's settled
// verdict ({"webrtc": "on"|"off", "candidates": ["<kind> <address>", ...]}); loopback ones are left out, as a
// site learns nothing from them. Nothing when WebRTC did not run in that page.
inline std::optional<QStringList> CheckPageHostAddresses(const QJsonObject& settled)
{
    if (settled.value(QStringLiteral("webrtc")).toString() != QLatin1String("on"))
        return std::nullopt;
    QStringList addresses;
    for (const QJsonValue each : settled.value(QStringLiteral("candidates")).toArray()) {
        const QString candidate = each.toString();
        if (!candidate.startsWith(QLatin1String("loopback ")))
            addresses << candidate.section(u' ', 1);
    }
    return addresses;
}

} // namespace testsupport
