#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "proxy/TProxyInfoGet.h"
#include "util/EngineServices.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QSet>
#include <QStringEncoder>

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>
#include <stdexcept>

namespace {

// Splits a list text into lines at CR LF, LF or CR; a final line break adds no empty line.
QStringList splitLines(QStringView text)
{
    QStringList lines;
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\r' || c == u'\n') {
            lines.append(text.mid(start, i - start).toString());
            if (c == u'\r' && i + 1 < size && text[i + 1] == QLatin1Char('\n'))
                ++i;
            start = i + 1;
        }
    }
    if (start < size)
        lines.append(text.mid(start).toString());
    return lines;
}

// The same for UTF-8 bytes, decoding line by line so the whole text never exists twice.
QStringList splitLines(const QByteArray& bytes)
{
    QStringList lines;
    const qsizetype size = bytes.size();
    const char* data = bytes.constData();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            lines.append(QString::fromUtf8(data + start, i - start));
            if (c == '\r' && i + 1 < size && data[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < size)
        lines.append(QString::fromUtf8(data + start, size - start));
    return lines;
}

// Where the value of a line starts, or -1 when the line has no "=" (and so no name).
qsizetype valueStart(QStringView line)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    return eq < 0 ? -1 : eq + 1;
}

// The entry number of a name "Proxy_<n>" (any letter case, n in plain decimal), or -1.
int entryNumber(QStringView name)
{
    static const QString prefix = QStringLiteral("proxy_");
    if (name.size() <= prefix.size() || !name.startsWith(prefix, Qt::CaseInsensitive))
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
    QString get(QStringView text)
    {
        const std::u16string_view key(text.utf16(), size_t(text.size()));
        const auto it = m_texts.find(key);
        if (it != m_texts.end())
            return it->second;
        QString copy = text.toString();
        // The key views the pooled copy's own characters, which stay put while the copy lives in the map.
        m_texts.emplace(std::u16string_view(reinterpret_cast<const char16_t*>(copy.constData()), size_t(copy.size())),
                        copy);
        return copy;
    }

private:
    std::unordered_map<std::u16string_view, QString> m_texts;
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
    RawList = splitLines(file.readAll());
    ParseProxyList();
    return true;
}

void TProxyManager::SaveToFile(const QString& fileName) const
{
    // Encoded straight into one buffer: a UTF-16 unit never takes more than three bytes of UTF-8.
    qsizetype capacity = 0;
    for (const QString& line : RawList)
        capacity += line.size() * 3 + 2;
    QByteArray bytes(capacity, Qt::Uninitialized);
    QStringEncoder encoder(QStringEncoder::Utf8);
    char* out = bytes.data();
    for (const QString& line : RawList) {
        out = encoder.appendToBuffer(out, line);
        *out++ = '\r';
        *out++ = '\n';
    }
    bytes.truncate(out - bytes.constData());
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw std::runtime_error(QStringLiteral("Unable to write to %1").arg(fileName).toStdString());
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
    std::vector<std::pair<int, int>> entryLines; // (n, line)
    for (int i = 0; i < RawList.size(); ++i) {
        const QStringView line(RawList.at(i));
        const qsizetype start = valueStart(line);
        if (start < 0)
            continue;
        const QStringView name = line.left(start - 1);
        const int n = entryNumber(name);
        if (n >= 0) {
            entryLines.emplace_back(n, i);
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

    // Entry order, and the first line of each number when a number repeats.
    std::stable_sort(entryLines.begin(), entryLines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    TextPool shared;
    Countries.clear();
    QSet<QString> exactCountries;  // names met so far, as written
    QSet<QString> foldedCountries; // and without letter case
    Proxies.resize(count);
    int previous = -1;
    for (const auto& [n, lineIndex] : entryLines) {
        if (n >= count)
            break;
        if (n == previous)
            continue;
        previous = n;
        const QString& line = RawList.at(lineIndex);
        const QStringView value = QStringView(line).mid(valueStart(line));
        if (value.isEmpty() || value.count(QLatin1Char('|')) != 5)
            continue;
        TProxyRec& rec = Proxies[n];
        QString* fields[] = {&rec.Proxy, &rec.Info, &rec.Country, &rec.FlagUrl, &rec.Longitude, &rec.Latitude};
        qsizetype from = 0;
        for (int f = 0; f < 6; ++f) {
            const qsizetype bar = f < 5 ? value.indexOf(QLatin1Char('|'), from) : value.size();
            const QStringView field = value.mid(from, bar - from);
            // Info, country and flag repeat across the list: records share one copy of each text.
            *fields[f] = (f >= 1 && f <= 3) ? shared.get(field) : field.toString();
            from = bar + 1;
        }
        rec.Status = TProxyRec::stUntested;
        if (!exactCountries.contains(rec.Country)) {
            exactCountries.insert(rec.Country);
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
