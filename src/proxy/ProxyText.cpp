#include "proxy/ProxyText.h"

bool SplitProxyText(const QString& proxy, ProxyAddress& out)
{
    const QString text = proxy.trimmed();
    const qsizetype colon = text.lastIndexOf(':');
    if (colon <= 0 || colon == text.size() - 1)
        return false;
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return false;
    out.host = text.left(colon);
    out.port = port;
    return true;
}
