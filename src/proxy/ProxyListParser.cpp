#include "proxy/ProxyListParser.h"

#include "proxy/CharScan.h"
#include "proxy/HugePageHint.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <deque>
#include <limits>
#include <vector>

namespace {

// Where the value of a line starts, or -1 when the line has no "=" (and so no name).
qsizetype valueStart(QStringView line)
{
    // A plain loop: the library search is built for long texts and costs more than it saves on short names.
    const char16_t* chars = line.utf16();
    const qsizetype size = line.size();
    for (qsizetype i = 0; i < size; ++i) {
        if (chars[i] == u'=')
            return i + 1;
    }
    return -1;
}

constexpr QStringView kEntryPrefix = u"proxy_";

// Whether name starts with "proxy_" in any letter case. Nearly every line of a list does, so ASCII names are
// compared by hand; any other character leaves the decision to Qt's full case folding.
bool hasEntryPrefix(QStringView name)
{
    if (name.size() < kEntryPrefix.size())
        return false;
    for (qsizetype i = 0; i < kEntryPrefix.size(); ++i) {
        const char16_t c = name.utf16()[i];
        if (c >= 0x80)
            return name.startsWith(kEntryPrefix, Qt::CaseInsensitive);
        const char16_t lower = (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c;
        if (lower != kEntryPrefix.utf16()[i])
            return false;
    }
    return true;
}

// The entry number of a name "Proxy_<n>" (any letter case, n in plain decimal), or -1. The caller has checked
// the prefix.
int entryNumber(QStringView name)
{
    if (name.size() <= kEntryPrefix.size())
        return -1;
    const QStringView digits = name.mid(kEntryPrefix.size());
    if (digits.size() > 10 || (digits.size() > 1 && digits.front() == QLatin1Char('0')))
        return -1;
    qint64 n = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        n = n * 10 + (c.unicode() - '0');
    }
    return n > std::numeric_limits<int>::max() ? -1 : int(n);
}

// Hands out one shared QString per distinct text, found without building a string for the lookup. Every fresh
// page of memory costs a fault, and a list is dominated by its small strings, so shared copies make parsing
// markedly faster.
class TextPool
{
public:
    // Past maxTexts distinct texts, new ones are handed out as plain copies and not remembered.
    explicit TextPool(qsizetype maxTexts = std::numeric_limits<qsizetype>::max()) : m_maxTexts(maxTexts) {}

    QString get(QStringView text)
    {
        // Lists often repeat a text on consecutive entries; that costs one comparison instead of a lookup.
        if (!m_last.isNull() && QStringView(m_last) == text)
            return m_last;
        const auto it = m_texts.constFind(text);
        if (it != m_texts.cend()) {
            m_last = it.value();
            return m_last;
        }
        QString copy = text.toString();
        if (m_texts.size() >= m_maxTexts)
            return copy;
        // The key views the pooled copy's own characters, which stay put while the copy lives in the map.
        m_texts.insert(QStringView(copy), copy);
        m_last = copy;
        return copy;
    }

private:
    qsizetype m_maxTexts;
    QHash<QStringView, QString> m_texts;
    QString m_last;
};

// Country names as written, each with the lowest entry number that carries it.
class CountryPool
{
public:
    // The number of the name, added when new.
    qsizetype add(QStringView text)
    {
        auto it = m_index.constFind(text);
        if (it == m_index.cend()) {
            m_names.push_back({text.toString(), std::numeric_limits<int>::max()});
            it = m_index.insert(QStringView(m_names.back().name), qsizetype(m_names.size()) - 1);
        }
        return it.value();
    }
    // The name of that number, noting that entry n carries it.
    const QString& use(qsizetype index, int n)
    {
        Name& name = m_names[size_t(index)];
        name.first = qMin(name.first, n);
        return name.name;
    }

    // The distinct names in order of first appearance, letter case merged (the spelling met first stays).
    QStringList inEntryOrder() const
    {
        std::vector<const Name*> order;
        order.reserve(m_names.size());
        for (const Name& name : m_names)
            order.push_back(&name);
        std::sort(order.begin(), order.end(), [](const Name* a, const Name* b) { return a->first < b->first; });
        QStringList result;
        QSet<QString> folded;
        for (const Name* name : order) {
            const QString key = name->name.toCaseFolded();
            if (!folded.contains(key)) {
                folded.insert(key);
                result.append(name->name);
            }
        }
        return result;
    }

private:
    struct Name
    {
        QString name;
        int first;
    };
    std::deque<Name> m_names; // stays put, so the lookup may view its names
    QHash<QStringView, qsizetype> m_index;
};

// Remembers what a run of fields turned into, so a record whose fields repeat an earlier one's costs one lookup
// instead of one per field. Bounded like the pools.
template <typename Value> class FieldsCache
{
public:
    explicit FieldsCache(qsizetype maxEntries) : m_max(maxEntries) {}

    // What fields turned into before, or null; valid until the next remember.
    const Value* find(QStringView fields) const
    {
        const auto it = m_map.constFind(fields);
        return it == m_map.cend() ? nullptr : &it.value().value;
    }
    void remember(QStringView fields, const Value& value)
    {
        if (m_map.size() >= m_max)
            return;
        QString key = fields.toString();
        const QStringView view(key); // the characters stay put when the string moves into the map
        m_map.insert(view, Entry{std::move(key), value});
    }

private:
    struct Entry
    {
        QString key;
        Value value;
    };
    qsizetype m_max;
    QHash<QStringView, Entry> m_map;
};

// Info, country and flag of a record, which go together.
struct Middle
{
    QString info;
    qsizetype country;
    QString flag;
};

struct Coordinates
{
    QString longitude;
    QString latitude;
};

} // namespace

void ParseProxyListLines(const ProxyListLines& lines, int maxCount, ProxyListLocal& local, QList<TProxyRec>& proxies,
                         QStringList& countries)
{
    // First the scalar keys (the first line of each name wins). They open a list, so this pass usually ends
    // after a few lines; an entry name never matches one of them.
    static const QString scalarKeys[] = {QStringLiteral("LocalIP"),        QStringLiteral("LocalCountry"),
                                         QStringLiteral("CountryFlag"),    QStringLiteral("LocalLatitude"),
                                         QStringLiteral("LocalLongitude"), QStringLiteral("ProxyCount"),
                                         QStringLiteral("ExtraProxyCount")};
    constexpr int kScalars = 7;
    qsizetype scalarLine[kScalars] = {-1, -1, -1, -1, -1, -1, -1};
    int found = 0;
    for (qsizetype i = 0; i < lines.size() && found < kScalars; ++i) {
        const QStringView line = lines.line(i);
        if (hasEntryPrefix(line))
            continue;
        const qsizetype start = valueStart(line);
        if (start < 0)
            continue;
        const QStringView name = line.left(start - 1);
        for (int k = 0; k < kScalars; ++k) {
            if (scalarLine[k] < 0 && name.compare(scalarKeys[k], Qt::CaseInsensitive) == 0) {
                scalarLine[k] = i;
                ++found;
            }
        }
    }
    const auto scalar = [&](int k) {
        if (scalarLine[k] < 0)
            return QString();
        const QStringView line = lines.line(scalarLine[k]);
        return line.mid(valueStart(line)).toString();
    };
    local.LocalIP = scalar(0);
    local.LocalCountry = scalar(1);
    local.CountryFlag = scalar(2);
    local.LocalLatitude = scalar(3);
    local.LocalLongitude = scalar(4);

    // A count the parser cannot honour (negative, or more records than memory holds) is not a list.
    const auto countOf = [&](int k) {
        bool ok = false;
        const int n = scalar(k).toInt(&ok);
        return ok && n > 0 ? qint64(n) : qint64(0);
    };
    // Entries of kinds other than HTTP are numbered after the ProxyCount ones and counted apart, so a reader
    // that knows only HTTP proxies never reaches them and cannot take one for an HTTP proxy.
    const int count = int(qMin(countOf(5) + countOf(6), qint64(qMax(0, maxCount))));

    if (proxies.capacity() < count) {
        proxies.reserve(count);
        AdviseHugePages(proxies.constData(), qsizetype(count) * qsizetype(sizeof(TProxyRec)));
    }
    proxies.resize(count);

    // Then the entries, in the order of their lines; the first line of each number is its value.
    std::vector<bool> seen(size_t(count), false);
    // Info, country and flag repeat across the list, and so do the coordinates of a place: records share one
    // copy of each text. Coordinates can also be unique per proxy; past a bound the pools stop growing, so
    // such a list costs a lookup per field and no memory beyond its own strings.
    constexpr qsizetype kMaxPooled = 4096;
    TextPool shared;
    CountryPool countryNames;
    TextPool coordinates(kMaxPooled);
    FieldsCache<Middle> middles(kMaxPooled);
    FieldsCache<Coordinates> places(kMaxPooled);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView line = lines.line(i);
        if (!hasEntryPrefix(line))
            continue;
        const qsizetype start = valueStart(line);
        if (start < 0)
            continue;
        const int n = entryNumber(line.left(start - 1));
        if (n < 0 || n >= count || seen[size_t(n)])
            continue;
        seen[size_t(n)] = true;
        const QStringView value = line.mid(start);
        // The five bars; a value with any other number of them is not a record.
        constexpr int kBars = 5;
        qsizetype bars[kBars + 1];
        const char16_t* chars = value.utf16();
        const qsizetype size = value.size();
        int barCount = 0;
        for (qsizetype at = FindChar(chars, 0, size, u'|'); at < size && barCount <= kBars;
             at = FindChar(chars, at + 1, size, u'|'))
            bars[barCount++] = at;
        if (size == 0 || barCount != kBars)
            continue;
        bars[kBars] = size;
        const auto field = [&](int f) {
            const qsizetype from = f == 0 ? 0 : bars[f - 1] + 1;
            return value.mid(from, bars[f] - from);
        };
        TProxyKind kind = TProxyKind::Http;
        QStringView address;
        if (!SplitProxyScheme(field(0), kind, address))
            continue; // a kind of proxy this program cannot speak
        TProxyRec& rec = proxies[n];
        // A list that arrives again mostly repeats the one loaded before: the address already held is kept.
        if (QStringView(rec.Proxy) != address)
            rec.Proxy = address.toString();
        rec.Kind = kind;

        const QStringView middleFields = value.mid(bars[0] + 1, bars[3] - bars[0] - 1);
        Middle middle;
        if (const Middle* known = middles.find(middleFields)) {
            middle = *known;
        } else {
            middle = {shared.get(field(1)), countryNames.add(field(2)), shared.get(field(3))};
            middles.remember(middleFields, middle);
        }
        rec.Info = middle.info;
        rec.Country = countryNames.use(middle.country, n);
        rec.FlagUrl = middle.flag;

        const QStringView placeFields = value.mid(bars[3] + 1);
        if (const Coordinates* known = places.find(placeFields)) {
            rec.Longitude = known->longitude;
            rec.Latitude = known->latitude;
        } else {
            rec.Longitude = coordinates.get(field(4));
            rec.Latitude = coordinates.get(field(5));
            places.remember(placeFields, {rec.Longitude, rec.Latitude});
        }
        rec.Status = TProxyRec::stUntested;
    }
    countries = countryNames.inEntryOrder();
}
