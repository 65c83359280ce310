#include "proxy/ProxyJudgement.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const QByteArray kRemoteAddr = QByteArrayLiteral("RemoteAddr=");
const QByteArray kHeaderPrefix = QByteArrayLiteral("Header.");

// Whether the address stands in the text as a whole token ("for=1.2.3.4", "1.2.3.4:5555",
// "[::1]:80"), not as part of a longer one ("11.2.3.45").
bool containsAddress(QByteArrayView text, const QHostAddress& address)
{
    for (const QHostAddress& each : AddressesInText(text)) {
        if (each.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    }
    return false;
}

} // namespace

bool IsProxyHeader(QByteArrayView name)
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

QList<QHostAddress> AddressesInText(QByteArrayView text)
{
    const auto addressChar = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
    };
    QList<QHostAddress> found;
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
        i = end;
        // Only dotted quads and IPv6 texts: the parser also reads a bare number ("2") as an IPv4 address.
        const qsizetype dots = token.count(QLatin1Char('.'));
        const qsizetype colons = token.count(QLatin1Char(':'));
        if (dots != 3 && colons < 2)
            continue;
        QHostAddress address;
        if (address.setAddress(token)) {
            found.append(address);
            continue;
        }
        // An IPv4 address with its port.
        const qsizetype colon = token.lastIndexOf(QLatin1Char(':'));
        if (colon > 0 && token.indexOf(QLatin1Char(':')) == colon && address.setAddress(token.left(colon)))
            found.append(address);
    }
    return found;
}

namespace {

// The address a judge saw, read from its text; fails the verdict when it is unreadable or the user's own.
bool judgeSeenAddress(const QString& seen, const QHostAddress& local, bool knowLocal, ProxyJudgement& verdict)
{
    QHostAddress seenAddress;
    if (!seenAddress.setAddress(seen.trimmed())) {
        verdict.reason = QStringLiteral("the service's answer names no readable address");
        return false;
    }
    // The address is shown and stored; a scope ("%eth0") says nothing about where the user is seen and could carry
    // any text the proxy wrote.
    seenAddress.setScopeId(QString());
    if (verdict.seenAddress.isEmpty())
        verdict.seenAddress = seenAddress.toString();
    if (knowLocal && seenAddress.isEqual(local, QHostAddress::ConvertV4MappedToIPv4)) {
        verdict.reason = QStringLiteral("the service saw the user's own address");
        return false;
    }
    return true;
}

// A header as a judge reported it; fails the verdict when it carries the user's address.
bool judgeHeader(QByteArrayView name, QByteArrayView value, const QHostAddress& local, bool knowLocal,
                 bool headersCount, bool& announced, ProxyJudgement& verdict)
{
    if (knowLocal && containsAddress(value, local)) {
        verdict.reason = QStringLiteral("the header %1 carries the user's own address").arg(QString::fromLatin1(name));
        return false;
    }
    if (headersCount && IsProxyHeader(name))
        announced = true;
    return true;
}

// The answers of public judges, told apart by their shape: httpbin's {"origin": ..., "headers": {...}}
// (origin is the X-Forwarded-For chain when a proxy sent one, else the sender) and the Tor check service's
// {"IP": ..., "IsTor": ...}, which names no headers and so is judged by the address alone. False when the
// answer has neither shape.
bool judgeJsonAnswer(const QByteArray& answer, const QHostAddress& local, bool knowLocal, bool headersCount,
                     ProxyJudgement& verdict)
{
    const QByteArray trimmed = answer.trimmed();
    if (!trimmed.startsWith('{'))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(trimmed);
    if (!document.isObject())
        return false;
    const QJsonObject object = document.object();
    const QJsonValue origin = object.value(QLatin1String("origin"));
    const QJsonValue ip = object.value(QLatin1String("IP"));
    if (!origin.isString() && !ip.isString())
        return false;
    bool announced = false;
    if (origin.isString()) {
        const QStringList chain = origin.toString().split(QLatin1Char(','));
        // More than one address: a proxy passed a forwarding chain on.
        announced = headersCount && chain.size() > 1;
        for (const QString& each : chain) {
            if (!judgeSeenAddress(each, local, knowLocal, verdict))
                return true;
        }
        const QJsonObject headers = object.value(QLatin1String("headers")).toObject();
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
            // Host names the judge itself, which may share an address with the user (a judge on the same machine).
            if (it.key().compare(QLatin1String("host"), Qt::CaseInsensitive) == 0)
                continue;
            const QByteArray name = it.key().toLatin1();
            const QByteArray value = it.value().toString().toUtf8();
            if (!judgeHeader(name, value, local, knowLocal, headersCount, announced, verdict))
                return true;
        }
    } else if (!judgeSeenAddress(ip.toString(), local, knowLocal, verdict)) {
        return true;
    }
    verdict.pass = true;
    verdict.anonymity = announced ? TAnonymity::Anonymous : TAnonymity::Elite;
    return true;
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
    if (judgeJsonAnswer(answer, local, knowLocal, headersCount, verdict))
        return verdict;

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
            if (!judgeSeenAddress(QString::fromLatin1(line.sliced(kRemoteAddr.size())), local, knowLocal, verdict))
                return verdict;
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
        if (headersCount && !name.isEmpty() && IsProxyHeader(name))
            announced = true;
    }
    verdict.pass = true;
    if (sawRemote)
        verdict.anonymity = announced ? TAnonymity::Anonymous : TAnonymity::Elite;
    return verdict;
}
