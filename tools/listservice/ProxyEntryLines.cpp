#include "ProxyEntryLines.h"

QStringList ProxyEntryLines(const QList<ListedProxy>& proxies)
{
    QList<const ListedProxy*> http;
    QList<const ListedProxy*> others;
    for (const ListedProxy& p : proxies)
        (p.kind == TProxyKind::Http ? http : others).append(&p);
    QStringList lines;
    lines << QStringLiteral("ProxyCount=%1").arg(http.size());
    if (!others.isEmpty())
        lines << QStringLiteral("ExtraProxyCount=%1").arg(others.size());
    int n = 0;
    for (const QList<const ListedProxy*>* group : {&http, &others}) {
        for (const ListedProxy* p : *group) {
            lines << QStringLiteral("Proxy_%1=%2|%3|%4|%5|%6|%7")
                         .arg(n++)
                         .arg(ProxyAddressText(p->kind, p->hostPort), p->info, p->country, p->flagUrl, p->longitude,
                              p->latitude);
        }
    }
    return lines;
}
