#include "proxy/ProxyKind.h"

namespace {

constexpr QStringView kSchemeEnd = u"://";

} // namespace

QString ProxyKindName(TProxyKind kind)
{
    return kind == TProxyKind::Socks5 ? QStringLiteral("socks5") : QStringLiteral("http");
}

bool SplitProxyScheme(QStringView address, TProxyKind& kind, QStringView& hostPort)
{
    const qsizetype end = address.indexOf(kSchemeEnd);
    if (end < 0) {
        kind = TProxyKind::Http;
        hostPort = address;
        return true;
    }
    const QStringView scheme = address.left(end);
    if (scheme.compare(u"socks5", Qt::CaseInsensitive) == 0)
        kind = TProxyKind::Socks5;
    else if (scheme.compare(u"http", Qt::CaseInsensitive) == 0)
        kind = TProxyKind::Http;
    else
        return false;
    hostPort = address.mid(end + kSchemeEnd.size());
    return true;
}

QString ProxyAddressText(TProxyKind kind, const QString& hostPort)
{
    return kind == TProxyKind::Socks5 ? QStringLiteral("socks5://") + hostPort : hostPort;
}
