#pragma once

#include "proxy/ProxyKind.h"

#include <QList>
#include <QString>
#include <QStringList>

// One proxy of a list answer, its fields as the program reads them.
struct ListedProxy
{
    TProxyKind kind = TProxyKind::Http;
    QString hostPort;
    QString info;
    QString country;
    QString flagUrl;
    QString longitude;
    QString latitude;
};

/// The ProxyCount and Proxy_<n> lines of a list answer. HTTP proxies come first, numbered from 0 and counted by
/// ProxyCount; proxies of other kinds follow them ("socks5://host:port"), counted by ExtraProxyCount (a line
/// written only when there are any). Programs that know only HTTP proxies read no entry past ProxyCount, so
/// they never take a SOCKS5 proxy for an HTTP one, and a list without SOCKS5 proxies stays as it always was.
QStringList ProxyEntryLines(const QList<ListedProxy>& proxies);
