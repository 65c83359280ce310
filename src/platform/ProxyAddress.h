#pragma once

#include <QString>

namespace platform {

// A proxy text "host:port" taken apart for the desktop's proxy settings, which want the host and
// the port separately and cannot hold a half-valid value.
struct ProxyAddress
{
    QString host;
    quint16 port = 0;

    // Splits at the last ":"; a missing host, a port that is not 1..65535, or characters that have
    // no place in a host name give an invalid address.
    static ProxyAddress parse(const QString& proxy);
    bool isValid() const { return !host.isEmpty() && port != 0; }
};

} // namespace platform
