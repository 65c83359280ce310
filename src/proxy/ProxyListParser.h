#pragma once

#include "proxy/ProxyListLines.h"
#include "proxy/TProxyRec.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a proxy list says besides its entries: the user's own address as the service sees it.
struct ProxyListLocal
{
    QString LocalIP;
    QString LocalCountry;
    QString CountryFlag;
    QString LocalLatitude;
    QString LocalLongitude;
};

// Reads a proxy list's lines into the local values, the records and the country names. Record n comes from the
// first line named "Proxy_<n>" (any letter case) below ProxyCount + ExtraProxyCount (at most maxCount); records
// that no valid entry fills keep what they held. An entry's address is host:port for an HTTP proxy or
// "socks5://host:port"; an entry with any other scheme is not valid. Lists number their SOCKS5 entries after
// the ProxyCount HTTP ones, counted by ExtraProxyCount, where readers older than SOCKS5 never look.
// Countries lists the records' countries in entry order, letter case merged.
void ParseProxyListLines(const ProxyListLines& lines, int maxCount, ProxyListLocal& local, QList<TProxyRec>& proxies,
                         QStringList& countries);
