// libFuzzer target: any bytes as the answer to the address check made through a proxy, which the proxy
// may have written itself. Judged for each of a few user addresses, with and without proxy headers
// counting: an answer that names the user's address never passes; the verdict is one of the defined
// classes and agrees with itself; and the kind of line break changes nothing.

#include "proxy/ProxyJudgement.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QHostAddress>

#include <cctype>
#include <cstdint>

namespace {

// The user's address as the list names it, with the texts it may stand in an answer as.
struct UserAddress
{
    const char* address;
    QList<QByteArray> forms;
};

const QList<UserAddress>& userAddresses()
{
    static const QList<UserAddress> list{
        {"203.0.113.7", {"203.0.113.7", "::ffff:203.0.113.7"}},
        {"2001:db8::7", {"2001:db8::7"}},
        // The user of the local list service sits on the loopback address itself.
        {"127.0.0.1", {"127.0.0.1", "::ffff:127.0.0.1"}},
    };
    return list;
}

// Characters that continue an address's text, so that next to one the address is part of another word.
bool continuesWord(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == ':' ||
           c == '_';
}

// Whether the answer names the address as a word of its own: between punctuation, blanks or line ends, an
// IPv4 address optionally with ":port".
bool names(const QByteArray& answer, const QByteArray& form)
{
    const QByteArray lower = answer.toLower();
    const bool v4 = !form.contains(':');
    for (qsizetype at = lower.indexOf(form); at >= 0; at = lower.indexOf(form, at + 1)) {
        if (at > 0 && continuesWord(lower[at - 1]))
            continue;
        qsizetype end = at + form.size();
        if (v4 && end + 1 < lower.size() && lower[end] == ':' && lower[end + 1] >= '0' && lower[end + 1] <= '9') {
            ++end;
            while (end < lower.size() && lower[end] >= '0' && lower[end] <= '9')
                ++end;
        }
        if (end == lower.size() || !continuesWord(lower[end]))
            return true;
    }
    return false;
}

// Whether a request header by which every proxy announces itself came through.
bool plainlyAnnounced(const QByteArray& answer)
{
    for (const QByteArray& line : splitLines(answer)) {
        const QByteArray lower = line.toLower();
        if (lower.startsWith("header.via=") || lower.startsWith("header.x-forwarded-for=") ||
            lower.startsWith("header.forwarded="))
            return line.startsWith("Header.");
    }
    return false;
}

void checkVerdict(const QByteArray& answer, const UserAddress& user, bool headersCount, const ProxyJudgement& v)
{
    if (v.anonymity != TAnonymity::Unknown && v.anonymity != TAnonymity::Anonymous && v.anonymity != TAnonymity::Elite)
        fail("a class that does not exist");
    const QString name = AnonymityName(v.anonymity);
    if (name != QLatin1String(v.anonymity == TAnonymity::Elite       ? "elite"
                              : v.anonymity == TAnonymity::Anonymous ? "anonymous"
                                                                     : ""))
        fail("a class under another name");
    if (v.pass == !v.reason.isEmpty())
        fail("a pass with a reason, or a failure without one");
    if (!v.pass && v.anonymity != TAnonymity::Unknown)
        fail("a failed proxy was classed");
    // The seen address is shown and stored: an address and nothing else, whatever the proxy wrote.
    if (!v.seenAddress.isEmpty() && QHostAddress(v.seenAddress).isNull())
        fail("the seen address is not an address");
    for (const QChar c : v.seenAddress) {
        if (!isxdigit(c.unicode()) && c != QLatin1Char('.') && c != QLatin1Char(':'))
            fail("the seen address carries more than an address");
    }
    if (v.pass && (v.anonymity == TAnonymity::Unknown) != v.seenAddress.isEmpty())
        fail("a class without a seen address, or a seen address without a class");
    if (v.pass && !headersCount && v.anonymity == TAnonymity::Anonymous)
        fail("announced by headers that do not count");
    if (answer.contains('\0') && v.pass)
        fail("a binary answer passed");

    for (const QByteArray& form : user.forms) {
        if (names(answer, form) && v.pass)
            fail("an answer naming the user's address passed");
    }
    if (v.pass && headersCount && v.anonymity == TAnonymity::Elite && plainlyAnnounced(answer))
        fail("a proxy that announced itself was judged elite");
}

bool sameVerdict(const ProxyJudgement& a, const ProxyJudgement& b)
{
    return a.pass == b.pass && a.anonymity == b.anonymity && a.seenAddress == b.seenAddress;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray answer(reinterpret_cast<const char*>(data), qsizetype(size));
    QByteArray crlf = answer;
    crlf.replace("\r\n", "\n").replace("\n", "\r\n");
    for (const UserAddress& user : userAddresses()) {
        const QString local = QString::fromLatin1(user.address);
        const ProxyJudgement counted = JudgeAddressAnswer(answer, local, true);
        const ProxyJudgement tunnel = JudgeAddressAnswer(answer, local, false);
        checkVerdict(answer, user, true, counted);
        checkVerdict(answer, user, false, tunnel);
        // Headers only ever lower the class; they never decide a pass.
        if (counted.pass != tunnel.pass || counted.seenAddress != tunnel.seenAddress)
            fail("counting headers changed whether the proxy passed");
        if (tunnel.pass && counted.anonymity == TAnonymity::Elite && tunnel.anonymity != TAnonymity::Elite)
            fail("an elite proxy lost its class when headers stopped counting");
        if (!sameVerdict(counted, JudgeAddressAnswer(crlf, local, true)))
            fail("CR LF line breaks changed the verdict");
    }
    return 0;
}
