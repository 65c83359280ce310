#pragma once

#include <QString>
#include <QStringView>

// The protocol a proxy speaks.
enum class TProxyKind
{
    Http,  // an HTTP proxy: full URLs in the request line, CONNECT for tunnels
    Socks5 // a SOCKS5 proxy without authentication; host names are resolved by the proxy
};

// "http" or "socks5".
QString ProxyKindName(TProxyKind kind);

// Reads a proxy address as lists write it: host:port is an HTTP proxy, "socks5://host:port" a SOCKS5 one
// ("http://host:port" is taken too; the scheme's letter case does not matter). hostPort views address.
// False for any other scheme: a proxy of a kind this program cannot speak must not be taken for an HTTP one.
bool SplitProxyScheme(QStringView address, TProxyKind& kind, QStringView& hostPort);

// The address as lists write it: host:port for an HTTP proxy, "socks5://host:port" for a SOCKS5 one.
QString ProxyAddressText(TProxyKind kind, const QString& hostPort);
