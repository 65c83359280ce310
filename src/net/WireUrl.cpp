#include "net/WireUrl.h"

QByteArray WireUrl(const QString& url)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray bytes = url.toUtf8();
    QByteArray wire;
    wire.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const bool escape = c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
                            c == '`' || c == '{' || c == '|' || c == '}';
        if (escape) {
            wire += '%';
            wire += hex[c >> 4];
            wire += hex[c & 0xF];
        } else {
            wire += ch;
        }
    }
    return wire;
}
