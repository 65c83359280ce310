#include "platform/ProxyAddress.h"

namespace platform {

namespace {
constexpr QStringView kSocks5Scheme = u"socks5://";

bool isHostCharacter(QChar c)
{
    // Names, IPv4 addresses and bracketless IPv6 are all this program's lists carry; anything
    // else (blanks, quotes, slashes, control characters) would end up in other programs' files.
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('-') ||
           c == QLatin1Char('_') || c == QLatin1Char(':');
}
} // namespace

ProxyAddress ProxyAddress::parse(const QString& proxy)
{
    ProxyAddress result;
    QString text = proxy.trimmed();
    const bool socks5 = hasSocks5Scheme(text);
    if (socks5)
        text.remove(0, kSocks5Scheme.size());
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return result;
    const QString host = text.left(colon);
    for (const QChar c : host) {
        if (!isHostCharacter(c))
            return result;
    }
    if (host.startsWith(QLatin1Char('-')))
        return result;
    const QString portText = text.mid(colon + 1);
    for (const QChar c : portText) {
        if (!c.isDigit())
            return result;
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return result;
    result.host = host;
    result.port = static_cast<quint16>(port);
    result.socks5 = socks5;
    return result;
}

bool ProxyAddress::hasSocks5Scheme(const QString& proxy)
{
    return proxy.trimmed().startsWith(kSocks5Scheme, Qt::CaseInsensitive);
}

QString ProxyAddress::text() const
{
    const QString hostPort = host + QLatin1Char(':') + QString::number(port);
    return socks5 ? kSocks5Scheme.toString() + hostPort : hostPort;
}

} // namespace platform
