#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "proxy/TProxyInfoGet.h"
#include "util/EngineServices.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>
#include <QHash>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QSet>
#include <QStringEncoder>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>
#include <stdexcept>

namespace {

// Splits a text into lines at CR LF, LF or CR; a final line break adds no empty line. nextBreak(from, c) is
// where the next c lies at or after from, or size when there is none; makeLine builds one line. Both kinds
// of break are looked for with the library's vectorised search, remembering the later one for the next lines.
template <typename NextBreak, typename MakeLine>
QStringList splitLinesWith(qsizetype size, NextBreak nextBreak, MakeLine makeLine)
{
    QStringList lines;
    qsizetype start = 0;
    qsizetype nextCr = -1; // unknown until searched
    qsizetype nextLf = -1;
    while (start < size) {
        if (nextCr < start)
            nextCr = nextBreak(start, '\r');
        if (nextLf < start)
            nextLf = nextBreak(start, '\n');
        const qsizetype end = qMin(nextCr, nextLf);
        if (end >= size)
            break;
        lines.append(makeLine(start, end - start));
        // CR LF counts as one break.
        start = (end == nextCr && nextLf == end + 1) ? end + 2 : end + 1;
    }
    if (start < size)
        lines.append(makeLine(start, size - start));
    return lines;
}

QStringList splitLines(QStringView text)
{
    return splitLinesWith(
        text.size(),
        [text](qsizetype from, char c) {
            const qsizetype at = text.indexOf(QLatin1Char(c), from);
            return at < 0 ? text.size() : at;
        },
        [text](qsizetype from, qsizetype length) { return text.mid(from, length).toString(); });
}

// The same for UTF-8 bytes, decoding line by line so the whole text never exists twice.
QStringList splitLines(const QByteArray& bytes)
{
    const char* data = bytes.constData();
    const qsizetype size = bytes.size();
    return splitLinesWith(
        size,
        [data, size](qsizetype from, char c) {
            const void* at = std::memchr(data + from, c, size_t(size - from));
            return at ? static_cast<const char*>(at) - data : size;
        },
        [data](qsizetype from, qsizetype length) { return QString::fromUtf8(data + from, length); });
}

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

// Whether name starts with "proxy_" in any letter case. Nearly every line of a list does, so ASCII names are
// compared by hand; any other character leaves the decision to Qt's full case folding.
bool hasEntryPrefix(QStringView name, QStringView prefix)
{
    if (name.size() < prefix.size())
        return false;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        const char16_t c = name.utf16()[i];
        if (c >= 0x80)
            return name.startsWith(prefix, Qt::CaseInsensitive);
        const char16_t lower = (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c;
        if (lower != prefix.utf16()[i])
            return false;
    }
    return true;
}

// The entry number of a name "Proxy_<n>" (any letter case, n in plain decimal), or -1.
int entryNumber(QStringView name)
{
    static constexpr QStringView prefix = u"proxy_";
    if (name.size() <= prefix.size() || !hasEntryPrefix(name, prefix))
        return -1;
    const QStringView digits = name.mid(prefix.size());
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

// Hands out one shared QString per distinct text, found without building a string for the lookup.
class TextPool
{
public:
    // Past maxTexts distinct texts, new ones are handed out as plain copies and not remembered.
    explicit TextPool(qsizetype maxTexts = std::numeric_limits<qsizetype>::max()) : m_maxTexts(maxTexts) {}

    // added tells whether the text was not in the pool yet.
    QString get(QStringView text, bool* added = nullptr)
    {
        const auto it = m_texts.constFind(text);
        if (added)
            *added = it == m_texts.cend();
        if (it != m_texts.cend())
            return it.value();
        QString copy = text.toString();
        if (m_texts.size() >= m_maxTexts)
            return copy;
        // The key views the pooled copy's own characters, which stay put while the copy lives in the map.
        m_texts.insert(QStringView(copy), copy);
        return copy;
    }

private:
    qsizetype m_maxTexts;
    QHash<QStringView, QString> m_texts;
};

} // namespace

TProxyManager::TProxyManager(IBrowserControl& browsers, const QString& testUrl, TRandomSource random, QObject* parent)
    : QObject(parent), m_browsers(browsers), m_random(random ? std::move(random) : DefaultRandomSource()),
      m_tester(std::make_unique<TProxyTester>(testUrl, m_random))
{
    m_tester->OnTestResult = [this](bool success, int index, const QString& response, const QString& host, int port,
                                    quint32 elapsed) { ProxyTested(success, index, response, host, port, elapsed); };
}

TProxyManager::~TProxyManager()
{
    m_tester->SetStopped(true);
    m_tester->OnTestResult = nullptr;
}

QString TProxyManager::TestUrlForHost(const QString& serviceHost)
{
    return QStringLiteral("http://") + serviceHost + QStringLiteral("/getip.php?VER=1");
}

bool TProxyManager::LoadFromFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return false;
    // Mapped rather than read: the lines are decoded straight from the page cache, sparing a copy of the whole
    // file in fresh memory. The file is only ever replaced by renaming, never truncated in place while mapped.
    const qint64 size = file.size();
    uchar* const mapped = size > 0 ? file.map(0, size) : nullptr;
    if (mapped) {
        RawList = splitLines(QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), size));
        file.unmap(mapped);
    } else {
        RawList = splitLines(file.readAll());
    }
    ParseProxyList();
    return true;
}

void TProxyManager::SaveToFile(const QString& fileName) const
{
    QSaveFile file(fileName);
    const auto fail = [&fileName]() {
        throw std::runtime_error(QStringLiteral("Unable to write to %1").arg(fileName).toStdString());
    };
    if (!file.open(QIODevice::WriteOnly))
        fail();
    // Encoded through one small reused buffer: a copy of the whole list would cost a fresh page for every
    // four kilobytes written. A UTF-16 unit never takes more than three bytes of UTF-8.
    constexpr qsizetype kChunk = 256 * 1024;
    QByteArray buffer(kChunk, Qt::Uninitialized);
    QStringEncoder encoder(QStringEncoder::Utf8);
    char* out = buffer.data();
    const auto flush = [&]() {
        const qsizetype used = out - buffer.constData();
        if (used > 0 && file.write(buffer.constData(), used) != used)
            fail();
        out = buffer.data();
    };
    for (const QString& line : RawList) {
        const qsizetype needed = line.size() * 3 + 2;
        if (buffer.constData() + buffer.size() - out < needed) {
            flush();
            if (buffer.size() < needed) {
                buffer.resize(needed);
                out = buffer.data();
            }
        }
        out = encoder.appendToBuffer(out, line);
        *out++ = '\r';
        *out++ = '\n';
    }
    flush();
    if (!file.commit())
        fail();
}

void TProxyManager::DownloadProxyList(const QString& url)
{
    TProxyInfoGet::Start(url, QPointer<QObject>(this), [this](const QString& text) { ProxyListReceived(text); });
}

void TProxyManager::ProxyListReceived(const QString& text)
{
    if (text.isEmpty())
        return;
    RawList = splitLines(text);
    ParseProxyList();
}

void TProxyManager::ParseProxyList()
{
    // One pass over the lines: the scalar keys (first line of each name wins) and the lines of "Proxy_<n>".
    // Names are compared in place, so a list of a hundred thousand entries costs no copies beyond its records.
    static const QString scalarKeys[] = {QStringLiteral("LocalIP"),        QStringLiteral("LocalCountry"),
                                         QStringLiteral("CountryFlag"),    QStringLiteral("LocalLatitude"),
                                         QStringLiteral("LocalLongitude"), QStringLiteral("ProxyCount")};
    constexpr int kScalars = 6;
    int scalarLine[kScalars] = {-1, -1, -1, -1, -1, -1};
    struct EntryLine
    {
        int n;
        int line;
        int value; // where the value starts in the line
    };
    std::vector<EntryLine> entryLines;
    entryLines.reserve(size_t(RawList.size()));
    for (int i = 0; i < RawList.size(); ++i) {
        const QStringView line(RawList.at(i));
        const qsizetype start = valueStart(line);
        if (start < 0)
            continue;
        const QStringView name = line.left(start - 1);
        const int n = entryNumber(name);
        if (n >= 0) {
            entryLines.push_back({n, i, int(start)});
            continue;
        }
        for (int k = 0; k < kScalars; ++k) {
            if (scalarLine[k] < 0 && name.compare(scalarKeys[k], Qt::CaseInsensitive) == 0)
                scalarLine[k] = i;
        }
    }
    const auto scalar = [&](int k) {
        if (scalarLine[k] < 0)
            return QString();
        const QString& line = RawList.at(scalarLine[k]);
        return line.mid(valueStart(line));
    };
    LocalIP = scalar(0);
    LocalCountry = scalar(1);
    CountryFlag = scalar(2);
    LocalLatitude = scalar(3);
    LocalLongitude = scalar(4);

    bool ok = false;
    int count = scalar(5).toInt(&ok);
    // A count the parser cannot honour (negative, or more records than memory holds) is not a list.
    if (!ok || count < 0)
        count = 0;
    count = qMin(count, kMaxProxyCount);

    // Entry order, and the first line of each number when a number repeats. Lists nearly always come in
    // order already, and checking that is far cheaper than sorting.
    const auto byNumber = [](const EntryLine& a, const EntryLine& b) { return a.n < b.n; };
    if (!std::is_sorted(entryLines.begin(), entryLines.end(), byNumber))
        std::stable_sort(entryLines.begin(), entryLines.end(), byNumber);

    TextPool shared;
    TextPool countries; // a name new to this pool is new as written
    // Every fresh page of memory costs a fault, and a list is dominated by its small strings, so shared copies
    // make parsing markedly faster. Coordinates can also be unique per proxy; past a bound the pool stops
    // growing, so such a list costs one lookup per field and no memory beyond its own strings.
    TextPool coordinates(4096);
    Countries.clear();
    QSet<QString> foldedCountries; // the names met so far without letter case
    Proxies.resize(count);
    int previous = -1;
    for (const EntryLine& entry : entryLines) {
        if (entry.n >= count)
            break;
        if (entry.n == previous)
            continue;
        previous = entry.n;
        const QStringView value = QStringView(RawList.at(entry.line)).mid(entry.value);
        // The five bars, found in one pass; a value with any other number of them is not a record.
        constexpr int kBars = 5;
        qsizetype bars[kBars + 1];
        int barCount = 0;
        const char16_t* chars = value.utf16();
        for (qsizetype i = 0; i < value.size() && barCount <= kBars; ++i) {
            if (chars[i] == u'|')
                bars[barCount++] = i;
        }
        if (value.isEmpty() || barCount != kBars)
            continue;
        bars[kBars] = value.size();
        TProxyRec& rec = Proxies[entry.n];
        const auto field = [&](int f) {
            const qsizetype from = f == 0 ? 0 : bars[f - 1] + 1;
            return value.mid(from, bars[f] - from);
        };
        bool newCountry = false;
        rec.Proxy = field(0).toString();
        // Info, country and flag repeat across the list: records share one copy of each text.
        rec.Info = shared.get(field(1));
        rec.Country = countries.get(field(2), &newCountry);
        rec.FlagUrl = shared.get(field(3));
        // Coordinates repeat for every proxy of a place (the pool above says why it is bounded).
        rec.Longitude = coordinates.get(field(4));
        rec.Latitude = coordinates.get(field(5));
        rec.Status = TProxyRec::stUntested;
        if (newCountry) {
            const QString folded = rec.Country.toCaseFolded();
            if (!foldedCountries.contains(folded)) {
                foldedCountries.insert(folded);
                Countries.append(rec.Country);
            }
        }
    }

    m_recordsByProxy.clear();
    m_nextSameProxy.clear();
    m_indexedRecords = -1; // built when the first result needs it

    emit listLoaded(this);
}

void TProxyManager::ensureRecordIndex()
{
    if (m_indexedRecords == Proxies.size())
        return;
    m_recordsByProxy.clear();
    m_nextSameProxy.assign(size_t(Proxies.size()), -1);
    for (int i = int(Proxies.size()) - 1; i >= 0; --i) {
        const QString& proxy = Proxies.at(i).Proxy;
        if (proxy.isEmpty())
            continue;
        auto it = m_recordsByProxy.find(proxy);
        if (it == m_recordsByProxy.end()) {
            m_recordsByProxy.insert(proxy, i);
        } else {
            m_nextSameProxy[size_t(i)] = it.value();
            it.value() = i;
        }
    }
    m_indexedRecords = Proxies.size();
}

bool TProxyManager::FindProxyByCountry(const QString& country, TProxyRec& rec) const
{
    rec = TProxyRec();
    bool found = false;
    for (const TProxyRec& each : Proxies) {
        if (each.Country == country) {
            rec = each;
            found = true;
        }
    }
    return found;
}

bool TProxyManager::FindProxy(const QString& proxy, TProxyRec& rec) const
{
    rec = TProxyRec();
    bool found = false;
    for (const TProxyRec& each : Proxies) {
        if (each.Proxy == proxy) {
            rec = each;
            found = true;
        }
    }
    return found;
}

bool TProxyManager::CountProxies(const QString& country, int& Working, int& Others) const
{
    Working = 0;
    Others = 0;
    for (const TProxyRec& each : Proxies) {
        if (each.Country != country)
            continue;
        if (each.Status == TProxyRec::stPassed)
            ++Working;
        else
            ++Others;
    }
    return Working + Others > 0;
}

void TProxyManager::StartHide()
{
    TProxyTester& tester = *m_tester;
    tester.Done = 0;
    ReadyList.clear();
    tester.SetStopped(false);
    tester.Total = 0;
    const bool everyCountry = Country == kAutoSelected;
    // Immediate reports may select and apply during the loop; they never change Proxies, but iterate by index.
    for (int i = 0; i < Proxies.size(); ++i) {
        const TProxyRec rec = Proxies.at(i);
        if (!everyCountry && rec.Country != Country)
            continue;
        ++tester.Total;
        const qsizetype colon = rec.Proxy.indexOf(QLatin1Char(':'));
        const QString host = colon < 0 ? rec.Proxy : rec.Proxy.left(colon);
        bool ok = false;
        int port = colon < 0 ? 0 : rec.Proxy.mid(colon + 1).toInt(&ok);
        if (!ok)
            port = 80;
        tester.TestProxy(i, host, port);
    }
    emit progress(tester.Total, tester.Done);
}

void TProxyManager::ProxyTested(bool Success, int Index, const QString& Response, const QString& Host, int Port,
                                quint32 Elapsed)
{
    Q_UNUSED(Index);
    Q_UNUSED(Response);
    TProxyTester& tester = *m_tester;
    emit progress(tester.Total, tester.Done);
    if (tester.Stopped())
        return;

    const QString key = Host + QLatin1Char(':') + QString::number(Port);
    ensureRecordIndex();
    for (int i = m_recordsByProxy.value(key, -1); i >= 0 && i < Proxies.size();
         i = size_t(i) < m_nextSameProxy.size() ? m_nextSameProxy[size_t(i)] : -1) {
        if (Proxies.at(i).Proxy != key)
            continue; // the index is rebuilt with every list; a record changed since is not this proxy
        TProxyRec& rec = Proxies[i];
        if (Success) {
            rec.Status = TProxyRec::stPassed;
            rec.Speed = int(Elapsed);
            ReadyList.append(rec.Proxy);
        } else {
            rec.Status = TProxyRec::stFailed;
        }
    }
    qCDebug(lcProxyTrace).noquote() << "Max" << tester.Total << "Current" << tester.Done;

    if (tester.Done > 30) {
        SelectProxy();
        tester.SetStopped(true);
    } else if (tester.Done == tester.Total) {
        SelectProxy();
    }
}

void TProxyManager::SelectProxy()
{
    qCDebug(lcProxyTrace).noquote() << "ready list:" << ReadyList.join(QStringLiteral(", "));
    if (ReadyList.isEmpty()) {
        EngineServices().ShowMessageBox(
            QStringLiteral("IP in ") + Country +
                QStringLiteral(" is not available now. Please choose other countries or try it later."),
            {}, 0, TEngineServices::mtInformation, TEngineServices::mbOK, 0);
        StopHide();
        return;
    }

    QString choice = ReadyList.first();
    if (AutoChange && ReadyList.size() >= 2 && choice == CurrentProxy) {
        // Entry 0 unless it is the proxy in use; then a random other one. When every entry is the proxy in
        // use there is nothing to move to and it stays; a bounded number of draws keeps a poor random
        // source from spinning for ever.
        const qsizetype firstOther =
            std::find_if(ReadyList.cbegin(), ReadyList.cend(), [&](const QString& p) { return p != CurrentProxy; }) -
            ReadyList.cbegin();
        if (firstOther < ReadyList.size()) {
            const int count = int(ReadyList.size());
            bool drawn = false;
            for (int attempt = 0; attempt < 64 * count && !drawn; ++attempt) {
                const int index = qBound(0, m_random(count), count - 1);
                if (ReadyList.at(index) != CurrentProxy) {
                    choice = ReadyList.at(index);
                    drawn = true;
                }
            }
            if (!drawn)
                choice = ReadyList.at(firstOther);
        }
    }

    if (ClearCookiesOnChange && choice != CurrentProxy) {
        m_browsers.ClearIECookies();
        m_browsers.ClearFirefoxCookies();
    }
    ApplyProxy(choice);
}

void TProxyManager::ApplyProxy(const QString& proxy)
{
    CurrentProxy = proxy;
    m_browsers.SetIEProxy(proxy);
    m_browsers.SetFirefoxProxy(proxy);
    m_browsers.SetOperaProxy(proxy); // a write error reaches the caller before the state below changes
    Active = true;
    TProxyRec rec;
    if (FindProxy(proxy, rec))
        emit proxyChanged(rec);
}

void TProxyManager::StopHide()
{
    Active = false;
    m_tester->SetStopped(true);
    m_browsers.SetIEProxy(QString());
    m_browsers.SetFirefoxProxy(QString());
    m_browsers.SetOperaProxy(QString());
    emit stopped();
}

void TProxyManager::ChangeIP()
{
    if (Active)
        SelectProxy();
}
