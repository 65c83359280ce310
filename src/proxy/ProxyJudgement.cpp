#include "proxy/ProxyJudgement.h"

#include <QByteArrayView>
#include <QHostAddress>

namespace {

const QByteArray kRemoteAddr = QByteArrayLiteral("RemoteAddr=");
const QByteArray kHeaderPrefix = QByteArrayLiteral("Header.");

// Headers by which a proxy announces itself or the address it serves.
bool isProxyHeader(QByteArrayView name)
{
    static const char* const kNames[] = {"via",
                                         "forwarded",
                                         "x-forwarded-for",
                                         "x-forwarded-host",
                                         "x-real-ip",
                                         "client-ip",
                                         "x-client-ip",
                                         "x-proxy-id",
                                         "x-proxyuser-ip",
                                         "x-originating-ip",
                                         "x-bluecoat-via",
                                         "x-tinyproxy",
                                         "cache-control-via"};
    const QByteArray lower = name.toByteArray().toLower();
    if (lower.startsWith("proxy-") || lower.startsWith("x-forwarded-"))
        return true;
    for (const char* known : kNames) {
        if (lower == known)
            return true;
    }
    return false;
}

bool sameAddress(const QHostAddress& a, const QString& text)
{
    QHostAddress b;
    if (!b.setAddress(text))
        return false;
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

// Whether the address stands in the text as a whole token ("for=1.2.3.4", "1.2.3.4:5555",
// "[::1]:80"), not as part of a longer one ("11.2.3.45").
bool containsAddress(QByteArrayView text, const QHostAddress& address)
{
    const auto addressChar = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
    };
    qsizetype i = 0;
    while (i < text.size()) {
        if (!addressChar(text[i])) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && addressChar(text[end]))
            ++end;
        const QString token = QString::fromLatin1(text.sliced(i, end - i));
        if (sameAddress(address, token))
            return true;
        // An IPv4 address with its port.
        const qsizetype colon = token.lastIndexOf(QLatin1Char(':'));
        if (colon > 0 && token.indexOf(QLatin1Char(':')) == colon && sameAddress(address, token.left(colon)))
            return true;
        i = end;
    }
    return false;
}

} // namespace

QString AnonymityName(TAnonymity anonymity)
{
    switch (anonymity) {
    case TAnonymity::Elite:
        return QStringLiteral("elite");
    case TAnonymity::Anonymous:
        return QStringLiteral("anonymous");
    case TAnonymity::Unknown:
        break;
    }
    return QString();
}

ProxyJudgement JudgeAddressAnswer(const QByteArray& answer, const QString& localAddress, bool headersCount)
{
    ProxyJudgement verdict;
    if (answer.contains('\0')) {
        verdict.reason = QStringLiteral("binary answer");
        return verdict;
    }
    QHostAddress local;
    const bool knowLocal = local.setAddress(localAddress.trimmed());

    bool sawRemote = false;
    bool announced = false;
    qsizetype start = 0;
    // Lines end at CR LF, LF or CR alike (a header that only looks like the tail of another line is still a
    // header); the empty line CR LF leaves between its two bytes says nothing.
    while (start < answer.size()) {
        qsizetype end = start;
        while (end < answer.size() && answer[end] != '\n' && answer[end] != '\r')
            ++end;
        const QByteArrayView line(answer.constData() + start, end - start);
        start = end + 1;
        if (!sawRemote && line.startsWith(kRemoteAddr)) {
            sawRemote = true;
            const QString seen = QString::fromLatin1(line.sliced(kRemoteAddr.size())).trimmed();
            QHostAddress seenAddress;
            if (!seenAddress.setAddress(seen)) {
                verdict.reason = QStringLiteral("the service's answer names no readable address");
                return verdict;
            }
            // The address is shown and stored; a scope ("%eth0") says nothing about where the user is seen and
            // could carry any text the proxy wrote.
            seenAddress.setScopeId(QString());
            verdict.seenAddress = seenAddress.toString();
            if (knowLocal && seenAddress.isEqual(local, QHostAddress::ConvertV4MappedToIPv4)) {
                verdict.reason = QStringLiteral("the service saw the user's own address");
                return verdict;
            }
            continue;
        }
        QByteArrayView name;
        if (line.startsWith(kHeaderPrefix)) {
            const QByteArrayView header = line.sliced(kHeaderPrefix.size());
            const qsizetype eq = header.indexOf('=');
            if (eq > 0)
                name = header.first(eq);
        }
        // Not only the headers: an older service's bare answer, a second sender line or a page a proxy put in
        // the answer's place gives the user away just as well.
        if (knowLocal && containsAddress(line, local)) {
            verdict.reason =
                name.isEmpty()
                    ? QStringLiteral("the answer names the user's own address")
                    : QStringLiteral("the header %1 carries the user's own address").arg(QString::fromLatin1(name));
            return verdict;
        }
        if (headersCount && !name.isEmpty() && isProxyHeader(name))
            announced = true;
    }
    verdict.pass = true;
    if (sawRemote)
        verdict.anonymity = announced ? TAnonymity::Anonymous : TAnonymity::Elite;
    return verdict;
}
