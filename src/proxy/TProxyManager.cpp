#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "proxy/TProxyInfoGet.h"
#include "util/EngineServices.h"

#include <QDebug>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <stdexcept>

namespace {

// Splits a list text into lines at CR LF, LF or CR; a final line break adds no empty line.
QStringList splitLines(const QString& text)
{
    QStringList lines;
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            lines.append(text.mid(start, i - start));
            if (c == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            start = i + 1;
        }
    }
    if (start < size)
        lines.append(text.mid(start));
    return lines;
}

// The value of the first line of each name (compared without case); lines without "=" have no name.
QHash<QString, QString> firstValues(const QStringList& lines)
{
    QHash<QString, QString> values;
    values.reserve(lines.size());
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString name = line.left(eq).toCaseFolded();
        if (!values.contains(name))
            values.insert(name, line.mid(eq + 1));
    }
    return values;
}

QString valueOf(const QHash<QString, QString>& values, const QString& key)
{
    return values.value(key.toCaseFolded());
}

} // namespace

TProxyManager::TProxyManager(IBrowserControl& browsers, const QString& testUrl, TRandomSource random,
                             QObject* parent)
    : QObject(parent)
    , m_browsers(browsers)
    , m_random(random ? std::move(random) : DefaultRandomSource())
    , m_tester(std::make_unique<TProxyTester>(testUrl, m_random))
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
    RawList = splitLines(QString::fromUtf8(file.readAll()));
    ParseProxyList();
    return true;
}

void TProxyManager::SaveToFile(const QString& fileName) const
{
    QByteArray bytes;
    for (const QString& line : RawList) {
        bytes += line.toUtf8();
        bytes += "\r\n";
    }
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
    const QHash<QString, QString> values = firstValues(RawList);
    LocalIP = valueOf(values, QStringLiteral("LocalIP"));
    LocalCountry = valueOf(values, QStringLiteral("LocalCountry"));
    CountryFlag = valueOf(values, QStringLiteral("CountryFlag"));
    LocalLatitude = valueOf(values, QStringLiteral("LocalLatitude"));
    LocalLongitude = valueOf(values, QStringLiteral("LocalLongitude"));

    bool ok = false;
    int count = valueOf(values, QStringLiteral("ProxyCount")).toInt(&ok);
    // A count the parser cannot honour (negative, or more records than memory holds) is not a list.
    if (!ok || count < 0)
        count = 0;
    count = qMin(count, kMaxProxyCount);

    // Only entries that are present can fill a record, so walk those (in entry order) rather than every
    // number below the count: a huge count then costs its records, not a lookup per number.
    QList<QPair<int, QString>> entries;
    const QString prefix = QStringLiteral("proxy_");
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString& name = it.key();
        if (!name.startsWith(prefix) || it.value().isEmpty())
            continue;
        const QString digits = name.mid(prefix.size());
        const int n = digits.toInt(&ok);
        // "Proxy_" followed by n in decimal: no sign, blanks or leading zeros.
        if (!ok || n < 0 || n >= count || digits != QString::number(n))
            continue;
        entries.append({n, it.value()});
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    Countries.clear();
    QSet<QString> seenCountries;
    Proxies.resize(count);
    for (const auto& [n, value] : entries) {
        const QStringList fields = value.split(QLatin1Char('|'));
        if (fields.size() != 6)
            continue;
        TProxyRec& rec = Proxies[n];
        rec.Proxy = fields.at(0);
        rec.Info = fields.at(1);
        rec.Country = fields.at(2);
        rec.FlagUrl = fields.at(3);
        rec.Longitude = fields.at(4);
        rec.Latitude = fields.at(5);
        rec.Status = TProxyRec::stUntested;
        const QString folded = rec.Country.toCaseFolded();
        if (!seenCountries.contains(folded)) {
            seenCountries.insert(folded);
            Countries.append(rec.Country);
        }
    }

    m_recordsByProxy.clear();
    for (int i = 0; i < Proxies.size(); ++i)
        m_recordsByProxy[Proxies.at(i).Proxy].append(i);

    emit listLoaded(this);
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
    for (const int i : m_recordsByProxy.value(key)) {
        if (i >= Proxies.size() || Proxies.at(i).Proxy != key)
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
    qDebug().noquote() << "Max" << tester.Total << "Current" << tester.Done;

    if (tester.Done > 30) {
        SelectProxy();
        tester.SetStopped(true);
    } else if (tester.Done == tester.Total) {
        SelectProxy();
    }
}

void TProxyManager::SelectProxy()
{
    qDebug().noquote() << "ready list:" << ReadyList.join(QStringLiteral(", "));
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
