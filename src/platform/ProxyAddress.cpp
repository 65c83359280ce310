#include "platform/ProxyAddress.h"

namespace platform {

namespace {
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
    const QString text = proxy.trimmed();
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
    return result;
}

} // namespace platform
