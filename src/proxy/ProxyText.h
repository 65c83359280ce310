#pragma once

#include <QString>

// A proxy text is host:port; the empty text means a direct connection.
struct ProxyAddress
{
    QString host;
    int port = 0;
};

// Splits host:port at the last colon. False when there is no host, no port or the port is not 1..65535.
bool SplitProxyText(const QString& proxy, ProxyAddress& out);
