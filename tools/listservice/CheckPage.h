#pragma once

#include "HttpServer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>

/// Bounds on the LocalIP value of the check page: longer or more than this, the whole value is ignored.
constexpr int kCheckMaxLocalIpLength = 512;
constexpr int kCheckMaxLocalIps = 16;

/// The user's own addresses as given in the check page's LocalIP (separated by commas, semicolons or
/// blanks): only well-formed IPv4 and IPv6 texts count, the rest is counted and dropped unseen.
struct CheckOwnAddresses
{
    QList<QHostAddress> addresses;
    int rejected = 0;     // tokens that were not IP address texts
    bool tooLong = false; // the whole value was over the bounds and ignored
};
CheckOwnAddresses ParseCheckOwnAddresses(const QString& localIp);

/// "en" or "de": the lang parameter ("de", "de-AT", "German", "English" ...) when it names one of the two,
/// else the best of them by the Accept-Language header's weights, else "en".
QString CheckPageLanguage(const QString& langParam, const QByteArray& acceptLanguage);

/// The address in the one text form the check page's script writes too: dotted IPv4 (also for an
/// IPv4-mapped IPv6 address), else eight lower-case hexadecimal groups without leading zeros.
QString CheckCanonicalAddress(const QHostAddress& address);

/// The page that shows a visitor what a site sees of them: the address the request came from
/// (seenAddress), whether that is one of the user's own (the LocalIP parameter), the proxy headers that
/// arrived, and, by an inline script, the WebRTC candidates the browser gives away, with a verdict that
/// the page and tests can read: #verdict's data-state is pending, hidden, visible or unknown, and its
/// data-where names what gives the user away (address, header, webrtc). ownProxy tells the addresses of
/// the service's own reverse proxies, whose forwarding headers say nothing about the visitor.
HttpResponse CheckPage(const HttpRequest& request, const QString& seenAddress,
                       const std::function<bool(const QHostAddress&)>& ownProxy);
