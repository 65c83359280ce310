#include "SourceParser.h"

#include "proxy/ProxyListLines.h"
#include "proxy/ProxyListParser.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSet>
#include <QStringConverter>

namespace {

// A host a proxy may be reached under: an IP address or a DNS name, nothing that could smuggle a
// separator into the list lines the program reads.
bool validHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    // A scope ("%eth0") means nothing on a list for others and could carry any text.
    const QHostAddress address(host);
    if (!address.isNull())
        return address.scopeId().isEmpty();
    // Labels of at most 63 characters, as DNS allows.
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                                                        "(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    return name.match(host).hasMatch();
}

// Fields become parts of '|'-separated list lines: nothing of a source may add a field or a line.
QString cleanField(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        if (c == QLatin1Char('|') || c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    // Trimmed after the blanking, or a control character at either end would leave a blank there; cut
    // between characters, never inside a surrogate pair (which would go out as a replacement character).
    out = out.trimmed();
    if (out.size() > 200)
        out.truncate(out[199].isHighSurrogate() ? 199 : 200);
    return out.trimmed();
}

class Collector
{
public:
    Collector(SourceParseResult& result, int maxEntries) : m_result(result), m_max(maxEntries) {}

    // False once the cap is reached.
    bool add(SourceEntry entry)
    {
        entry.host = entry.host.trimmed();
        if (entry.host.startsWith(QLatin1Char('[')) && entry.host.endsWith(QLatin1Char(']')))
            entry.host = entry.host.mid(1, entry.host.size() - 2);
        if (!validHost(entry.host) || entry.port < 1 || entry.port > 65535) {
            ++m_result.rejected;
            return true;
        }
        entry.host = entry.host.toLower();
        // An address in its one usual spelling, so that a proxy written two ways ("::1" and "0::1", "127.1")
        // is still one proxy.
        if (const QHostAddress address(entry.host); !address.isNull()) {
            bool v4 = false;
            const quint32 ip4 = address.toIPv4Address(&v4);
            entry.host = v4 ? QHostAddress(ip4).toString() : address.toString();
        }
        for (QString* field : {&entry.country, &entry.info, &entry.flagUrl, &entry.longitude, &entry.latitude})
            *field = cleanField(*field);
        if (m_seen.contains(entry.key())) {
            ++m_result.duplicates;
            return true;
        }
        if (m_result.entries.size() >= m_max) {
            m_result.cut = true;
            return false;
        }
        m_seen.insert(entry.key());
        m_result.entries.append(std::move(entry));
        return true;
    }

private:
    SourceParseResult& m_result;
    const int m_max;
    QSet<QString> m_seen;
};

int portOf(const QString& text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    return ok ? port : 0;
}

// "host:port", "[v6]:port", either after "socks5://" or "http://" (which set kind); whatever follows the first
// blank is ignored (many lists add comments). Any other scheme names a proxy that cannot be checked.
bool splitHostPort(const QString& text, QString& host, int& port, TProxyKind& kind)
{
    static const QRegularExpression blank(QStringLiteral("\\s"));
    const QString word = text.trimmed().section(blank, 0, 0);
    QStringView address;
    TProxyKind named = kind;
    if (!SplitProxyScheme(word, named, address))
        return false;
    if (address.size() != word.size())
        kind = named;
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    host = address.left(colon).toString();
    port = portOf(address.mid(colon + 1).toString());
    return true;
}

// The kind a CSV column or JSON field names ("socks5", "http", "https" ...); false for a kind that cannot be
// checked (socks4 ...). Empty text leaves kind as it is.
bool kindFromName(const QString& text, TProxyKind& kind)
{
    const QString name = text.trimmed().toLower();
    if (name.isEmpty())
        return true;
    if (name == QLatin1String("socks5") || name == QLatin1String("socks5h")) {
        kind = TProxyKind::Socks5;
        return true;
    }
    // An "https" proxy of the usual lists is an HTTP proxy that tunnels with CONNECT.
    if (name == QLatin1String("http") || name == QLatin1String("https")) {
        kind = TProxyKind::Http;
        return true;
    }
    return false;
}

QList<QByteArray> linesOf(const QByteArray& text)
{
    QByteArray normalised = text;
    normalised.replace("\r\n", "\n").replace('\r', '\n');
    return normalised.split('\n');
}

void parsePlain(const QByteArray& text, TProxyKind kind, Collector& out, SourceParseResult& result)
{
    for (const QByteArray& raw : linesOf(text)) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        SourceEntry entry;
        entry.kind = kind;
        if (!splitHostPort(line, entry.host, entry.port, entry.kind)) {
            ++result.rejected;
            continue;
        }
        if (!out.add(entry))
            return;
    }
}

// Adds the entry of a list record once its proxy splits into host and port, else counts the record as
// rejected; false when out is full.
bool addListed(const QString& proxy, SourceEntry entry, Collector& out, SourceParseResult& result)
{
    if (!splitHostPort(proxy, entry.host, entry.port, entry.kind)) {
        ++result.rejected;
        return true;
    }
    return out.add(entry);
}

void parsePool(const QByteArray& text, Collector& out, SourceParseResult& result)
{
    QStringList warnings;
    const QList<PoolEntry> pool = ParsePool(text, warnings);
    result.rejected += int(warnings.size());
    for (const PoolEntry& e : pool)
        if (!addListed(e.proxy, {{}, 0, e.country, e.info, e.flagUrl, e.longitude, e.latitude}, out, result))
            return;
}

void parseVeilport(const QByteArray& text, int maxEntries, Collector& out, SourceParseResult& result)
{
    ProxyListLocal local;
    QList<TProxyRec> records;
    QStringList countries;
    ParseProxyListLines(ProxyListLines::fromUtf8(text), maxEntries, local, records, countries);
    for (const TProxyRec& r : records) {
        // A count above the entries leaves records that no line filled: no entries at all, and a list of a
        // few bytes may leave the cap's worth of them.
        if (r.Proxy.isEmpty())
            continue;
        if (!addListed(r.Proxy, {{}, 0, r.Country, r.Info, r.FlagUrl, r.Longitude, r.Latitude, r.Kind}, out, result))
            return;
    }
}

QStringList csvFields(const QString& line)
{
    // Quoted fields of the usual exports ("1.2.3.4","8080"); a quote inside a field is doubled.
    QStringList fields;
    QString field;
    bool quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < line.size() && line[i + 1] == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"'))
                quoted = false;
            else
                field += c;
        } else if (c == QLatin1Char('"'))
            quoted = true;
        else if (c == QLatin1Char(',') || c == QLatin1Char(';')) {
            fields << field.trimmed();
            field.clear();
        } else
            field += c;
    }
    fields << field.trimmed();
    return fields;
}

void parseCsv(const QByteArray& text, Collector& out, SourceParseResult& result)
{
    const QList<QByteArray> lines = linesOf(text);
    int header = 0;
    while (header < lines.size() && lines[header].trimmed().isEmpty())
        ++header;
    if (header == lines.size()) {
        result.error = QStringLiteral("empty CSV");
        return;
    }
    const QStringList names = csvFields(QString::fromUtf8(lines[header]).toLower());
    auto column = [&](std::initializer_list<const char*> wanted) {
        for (const char* w : wanted) {
            const int at = int(names.indexOf(QLatin1String(w)));
            if (at >= 0)
                return at;
        }
        return -1;
    };
    const int hostCol = column({"host", "ip", "ip_address", "address"});
    const int portCol = column({"port"});
    const int countryCol = column({"country"});
    const int kindCol = column({"protocol", "type"});
    if (hostCol < 0 || portCol < 0) {
        result.error = QStringLiteral("the CSV header names no host (or ip) and port columns");
        return;
    }
    for (int i = header + 1; i < lines.size(); ++i) {
        if (lines[i].trimmed().isEmpty())
            continue;
        const QStringList f = csvFields(QString::fromUtf8(lines[i]));
        if (f.size() <= std::max(hostCol, portCol)) {
            ++result.rejected;
            continue;
        }
        SourceEntry entry;
        entry.host = f[hostCol];
        entry.port = portOf(f[portCol]);
        if (countryCol >= 0 && countryCol < f.size())
            entry.country = f[countryCol];
        if (kindCol >= 0 && kindCol < f.size() && !kindFromName(f[kindCol], entry.kind)) {
            ++result.rejected;
            continue;
        }
        if (!out.add(entry))
            return;
    }
}

void parseJson(const QByteArray& text, Collector& out, SourceParseResult& result)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        result.error = QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset);
        return;
    }
    if (!doc.isArray()) {
        result.error = QStringLiteral("JSON is not an array of proxies");
        return;
    }
    for (const QJsonValue& value : doc.array()) {
        if (!value.isObject()) {
            ++result.rejected;
            continue;
        }
        const QJsonObject o = value.toObject();
        const QJsonValue host =
            o.contains(QLatin1String("host")) ? o.value(QLatin1String("host")) : o.value(QLatin1String("ip"));
        const QJsonValue port = o.value(QLatin1String("port"));
        // Ports come as numbers or as numeric text, depending on the export.
        int portNumber = 0;
        if (port.isDouble() && port.toDouble() == double(port.toInt()))
            portNumber = port.toInt();
        else if (port.isString())
            portNumber = portOf(port.toString());
        if (!host.isString()) {
            ++result.rejected;
            continue;
        }
        SourceEntry entry;
        entry.host = host.toString();
        entry.port = portNumber;
        if (o.value(QLatin1String("country")).isString())
            entry.country = o.value(QLatin1String("country")).toString();
        const QJsonValue kind =
            o.contains(QLatin1String("protocol")) ? o.value(QLatin1String("protocol")) : o.value(QLatin1String("type"));
        if (kind.isString() && !kindFromName(kind.toString(), entry.kind)) {
            ++result.rejected;
            continue;
        }
        if (!out.add(entry))
            return;
    }
}

// Text a list may be: valid UTF-8 without NUL bytes.
bool looksLikeText(const QByteArray& text)
{
    if (text.contains('\0'))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8);
    (void)QString(decoder(text));
    return !decoder.hasError();
}

} // namespace

SourceParseResult ParseSourceText(SourceFormat format, const QByteArray& source, int maxEntries)
{
    // A byte order mark (lists saved on Windows) belongs to no line: dropped once here, it cannot make a
    // line of its own that passes for the CSV header.
    const QByteArray text = source.startsWith("\xEF\xBB\xBF") ? source.sliced(3) : source;
    SourceParseResult result;
    if (!looksLikeText(text)) {
        result.error = QStringLiteral("binary data, not a list of proxies");
        return result;
    }
    Collector out(result, std::max(0, maxEntries));
    switch (format) {
    case SourceFormat::Plain:
        parsePlain(text, TProxyKind::Http, out, result);
        break;
    case SourceFormat::Socks5:
        parsePlain(text, TProxyKind::Socks5, out, result);
        break;
    case SourceFormat::Pool:
        parsePool(text, out, result);
        break;
    case SourceFormat::Veilport:
        parseVeilport(text, maxEntries, out, result);
        break;
    case SourceFormat::Csv:
        parseCsv(text, out, result);
        break;
    case SourceFormat::Json:
        parseJson(text, out, result);
        break;
    }
    if (result.error.isEmpty() && result.entries.isEmpty() && (result.rejected > 0 || format != SourceFormat::Pool))
        result.error = QStringLiteral("no usable host:port entry (%1 rejected)").arg(result.rejected);
    return result;
}
