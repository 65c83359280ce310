// libFuzzer target: any bytes as the text of one of the list service's sources, which anyone may publish.
// The first byte picks the format and the cap on proxies ('0' plain, '1' program list, '2' CSV, '3' JSON,
// '4' pool, each with the service's default cap; other bytes pick smaller caps); the rest is the text.
// Whatever the text, every proxy taken has an address or a DNS name and a port 1..65535, is taken once,
// keeps within the cap, and travels through the service's list lines and the program's list reader
// unchanged; the kind of line break and a byte order mark change nothing.

#include "SourceParser.h"
#include "proxy/ProxyListParser.h"
#include "proxy/ProxyText.h"

#include "FuzzCheck.h"

#include <QHostAddress>
#include <QSet>

#include <cstdint>
#include <cstdio>

namespace {

constexpr SourceFormat kFormats[] = {SourceFormat::Plain, SourceFormat::Veilport, SourceFormat::Csv, SourceFormat::Json,
                                     SourceFormat::Pool};
// The service's own default first; a cap is reached mid-list only with the small ones.
constexpr int kCaps[] = {100000, 1, 2, 7};

// A host the program can be handed: an IP address without a scope, or a DNS name of letters, digits and
// inner hyphens; always in lower case, as the service compares hosts by text.
bool usableHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QChar c : host) {
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                             (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
                             c == QLatin1Char('-') || c == QLatin1Char(':');
        if (!allowed)
            return false;
    }
    if (host.contains(QLatin1Char(':')))
        return !QHostAddress(host).isNull();
    for (const QString& label : host.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
    }
    return true;
}

// A field goes between bars of a list line: no bar, no line break or other control character, bounded.
bool cleanField(const QString& field)
{
    if (field.size() > 200 || field != field.trimmed())
        return false;
    for (const QChar c : field) {
        if (c == QLatin1Char('|') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

// The same proxy, whatever way its address is written ("::1" and "0::1", "1.2.3.4" and "::ffff:1.2.3.4").
QString proxyIdentity(const SourceEntry& e)
{
    const QHostAddress address(e.host);
    if (address.isNull())
        return e.key();
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    const QString host = v4 ? QHostAddress(ip4).toString() : address.toString();
    return host + QLatin1Char(':') + QString::number(e.port);
}

bool sameEntries(const QList<SourceEntry>& a, const QList<SourceEntry>& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const SourceEntry& x = a[i];
        const SourceEntry& y = b[i];
        if (x.host != y.host || x.port != y.port || x.country != y.country || x.info != y.info ||
            x.flagUrl != y.flagUrl || x.longitude != y.longitude || x.latitude != y.latitude)
            return false;
    }
    return true;
}

qsizetype lineCount(const QByteArray& text)
{
    return splitLines(text).size();
}

void checkEntries(SourceFormat format, const QByteArray& text, int cap, const SourceParseResult& r)
{
    if (r.entries.size() > cap)
        fail("more proxies than the cap");
    if (r.duplicates < 0 || r.rejected < 0)
        fail("a negative count");
    if (!r.error.isEmpty() && !r.entries.isEmpty())
        fail("an unusable text still gave proxies");
    if (r.error.isEmpty() && r.entries.isEmpty() && !(format == SourceFormat::Pool && r.rejected == 0))
        fail("a text without a single proxy was taken as usable");
    if (text.contains('\0') && r.error.isEmpty())
        fail("binary text was read as a list");
    // Each line of a line-based format names at most one proxy, and is counted at most once.
    if (format != SourceFormat::Json && format != SourceFormat::Veilport &&
        r.entries.size() + r.duplicates + r.rejected > lineCount(text))
        fail("more proxies and rejects than lines");

    QSet<QString> keys;
    QSet<QString> identities;
    for (const SourceEntry& e : r.entries) {
        if (e.port < 1 || e.port > 65535)
            fail("port out of range");
        if (!usableHost(e.host)) {
            std::fprintf(stderr, "host: \"%s\"\n", e.host.toUtf8().constData());
            fail("a host that is neither an address nor a DNS name");
        }
        for (const QString* field : {&e.country, &e.info, &e.flagUrl, &e.longitude, &e.latitude}) {
            if (!cleanField(*field))
                fail("a field that can break a list line");
        }
        if (keys.contains(e.key()) || identities.contains(proxyIdentity(e)))
            fail("a proxy taken twice");
        keys.insert(e.key());
        identities.insert(proxyIdentity(e));

        ProxyAddress split;
        if (!SplitProxyText(e.key(), split) || split.host != e.host || split.port != e.port)
            fail("the program splits the proxy's text differently");
    }

    // Into the lines the service answers with, as the bytes it sends, and back through the program's reader.
    QStringList lines{QStringLiteral("LocalIP=203.0.113.7"), QStringLiteral("ProxyCount=%1").arg(r.entries.size())};
    for (qsizetype i = 0; i < r.entries.size(); ++i) {
        const SourceEntry& e = r.entries[i];
        lines << QStringLiteral("Proxy_%1=%2|%3|%4|%5|%6|%7")
                     .arg(i)
                     .arg(e.key(), e.info, e.country, e.flagUrl, e.longitude, e.latitude);
    }
    ProxyListLocal local;
    QList<TProxyRec> records;
    QStringList countries;
    const QByteArray answer = lines.join(QStringLiteral("\r\n")).toUtf8();
    ParseProxyListLines(ProxyListLines::fromUtf8(answer), int(r.entries.size()), local, records, countries);
    if (records.size() != r.entries.size() || local.LocalIP != QLatin1String("203.0.113.7"))
        fail("the list lines read back to another number of records");
    for (qsizetype i = 0; i < records.size(); ++i) {
        const SourceEntry& e = r.entries[i];
        const TProxyRec& rec = records[i];
        if (rec.Proxy != e.key() || rec.Info != e.info || rec.Country != e.country || rec.FlagUrl != e.flagUrl ||
            rec.Longitude != e.longitude || rec.Latitude != e.latitude)
            fail("a proxy's list line reads back differently");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const auto pick = uint8_t(data[0] - '0');
    const SourceFormat format = kFormats[pick % 5];
    const int cap = kCaps[(pick / 5) % 4];
    const QByteArray text(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    const SourceParseResult result = ParseSourceText(format, text, cap);
    checkEntries(format, text, cap, result);

    // Lists are written on every system: LF, CR LF, and a byte order mark up front read the same.
    if (format != SourceFormat::Json) {
        QByteArray crlf = text;
        crlf.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n");
        const SourceParseResult other = ParseSourceText(format, crlf, cap);
        if (!sameEntries(result.entries, other.entries) || result.error.isEmpty() != other.error.isEmpty())
            fail("CR LF line breaks changed what was read");
    }
    static const QByteArray kBom = QByteArrayLiteral("\xEF\xBB\xBF");
    if (!text.startsWith(kBom)) {
        const SourceParseResult marked = ParseSourceText(format, kBom + text, cap);
        if (!sameEntries(result.entries, marked.entries) || result.error.isEmpty() != marked.error.isEmpty())
            fail("a byte order mark changed what was read");
    }
    return 0;
}
