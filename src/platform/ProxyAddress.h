#pragma once

#include <QString>

namespace platform {

// A proxy text taken apart for the desktop's proxy settings, which want the host and the port
// separately and cannot hold a half-valid value. "host:port" names an HTTP proxy,
// "socks5://host:port" a SOCKS5 one.
struct ProxyAddress
{
    QString host;
    quint16 port = 0;
    bool socks5 = false; // the proxy speaks SOCKS5 (and is asked to resolve names itself)

    // Splits at the last ":" after an optional "socks5://" (in any letter case); a missing host, a
    // port that is not 1..65535, another scheme, or characters that have no place in a host name
    // give an invalid address.
    static ProxyAddress parse(const QString& proxy);
    // Whether the text names a SOCKS5 proxy, valid or not.
    static bool hasSocks5Scheme(const QString& proxy);
    bool isValid() const { return !host.isEmpty() && port != 0; }
    // "host:port", or "socks5://host:port".
    QString text() const;
};

} // namespace platform
