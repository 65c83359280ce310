#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "proxy/ExitRoute.h"
#include "proxy/ProxyListParser.h"
#include "proxy/TProxyInfoGet.h"
#include "util/EngineServices.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>
#include <QHash>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QStringEncoder>

#include <algorithm>
#include <utility>
#include <vector>
#include <stdexcept>

TProxyManager::TProxyManager(IBrowserControl& browsers, TEngineServices& services, const QString& testUrl,
                             TRandomSource random, QObject* parent)
    : QObject(parent), m_browsers(browsers), m_services(services),
      m_random(random ? std::move(random) : DefaultRandomSource()),
      m_tester(std::make_unique<TProxyTester>(testUrl, m_random))
{
    m_tester->OnTestResult = [this](bool success, int index, const QString& response, const QString& host, int port,
                                    quint32 elapsed) { ProxyTested(success, index, response, host, port, elapsed); };
    m_checker = std::make_unique<TProxyTester>(testUrl, [](int) { return 0; });
    m_checker->SetPassValidityMs(0);
    m_checker->OnTestResult = [this](bool success, int, const QString&, const QString& host, int port, quint32) {
        ProxyChecked(success, host, port);
    };
    m_checkTimer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_checkTimer, &QTimer::timeout, this, &TProxyManager::CheckCurrentProxy);
    m_retryTimer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &TProxyManager::RetryWhileBlocked);
}

TProxyManager::~TProxyManager()
{
    m_checkTimer.stop();
    m_tester->SetStopped(true);
    m_tester->OnTestResult = nullptr;
    m_checker->SetStopped(true);
    m_checker->OnTestResult = nullptr;
    if (m_routeChecker) {
        m_routeChecker->SetStopped(true);
        m_routeChecker->OnTestResult = nullptr;
    }
    // A route that outlives the manager must not call back into it.
    if (m_route)
        m_route->disconnect(this);
}

QString TProxyManager::TestUrlForHost(const QString& serviceHost)
{
    return QStringLiteral("http://") + serviceHost + QStringLiteral("/getip.php?VER=2");
}

void TProxyManager::SetTunnelUrl(const QString& url)
{
    m_tester->SetTunnelUrl(url);
    m_checker->SetTunnelUrl(url);
}

void TProxyManager::SetTestTimeoutMs(int ms)
{
    m_tester->SetTimeoutMs(ms);
    m_checker->SetTimeoutMs(ms);
    if (m_routeChecker)
        m_routeChecker->SetTimeoutMs(ms);
}

void TProxyManager::SetFirstContactTimeoutMs(int ms)
{
    m_tester->SetFirstContactTimeoutMs(ms);
    m_checker->SetFirstContactTimeoutMs(ms);
}

void TProxyManager::SetPassValidityMs(qint64 ms)
{
    m_tester->SetPassValidityMs(ms);
}

void TProxyManager::SetLeakCheck(bool on, int intervalMs)
{
    m_leakCheck = on;
    m_checkTimer.setInterval(qMax(1, intervalMs));
    if (!on) {
        m_checkTimer.stop();
        m_checker->SetStopped(true);
    } else if (m_active && !m_checkTimer.isActive()) {
        m_checkTimer.start();
    }
}

void TProxyManager::ChooseCountry(const QString& country)
{
    m_country = country;
}

void TProxyManager::SwitchAutoChange(bool on)
{
    m_autoChange = on;
}

void TProxyManager::SetChangeInterval(int minutes)
{
    m_changeInterval = minutes;
}

void TProxyManager::SwitchClearCookiesOnChange(bool on)
{
    m_clearCookiesOnChange = on;
}

bool TProxyManager::Testing() const
{
    return !m_tester->Stopped() && (m_tester->Done < m_tester->Total || HandingOver());
}

bool TProxyManager::LoadFromFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return false;
    ProxyListLines lines;
    if (!ProxyListLines::readUtf8(file, lines)) {
        qCWarning(lcProxyTrace).noquote() << "Cannot read the proxy list file" << fileName;
        return false;
    }
    TakeProxyList(std::move(lines));
    return true;
}

void TProxyManager::TakeProxyList(ProxyListLines lines)
{
    m_rawList = std::move(lines);
    ParseProxyList();
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
    for (qsizetype i = 0; i < m_rawList.size(); ++i) {
        const QStringView line = m_rawList.line(i);
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
    TakeProxyList(ProxyListLines::fromText(text));
}

void TProxyManager::ParseProxyList()
{
    ProxyListLocal local;
    ParseProxyListLines(m_rawList, kMaxProxyCount, local, m_proxies, m_countries);
    m_localIP = std::move(local.LocalIP);
    m_localCountry = std::move(local.LocalCountry);
    m_countryFlag = std::move(local.CountryFlag);
    m_localLatitude = std::move(local.LocalLatitude);
    m_localLongitude = std::move(local.LocalLongitude);
    // A proxy that shows the service this address hides nothing.
    m_tester->SetLocalAddress(m_localIP);
    m_checker->SetLocalAddress(m_localIP);
    if (m_routeChecker)
        m_routeChecker->SetLocalAddress(m_localIP);

    m_recordsByProxy.clear();
    m_nextSameProxy.clear();
    m_indexedRecords = -1; // built when the first result needs it
    ++m_listGeneration;    // a hand-over under way indexed the list that is gone

    emit listLoaded(this);
}

void TProxyManager::ensureRecordIndex()
{
    if (m_indexedRecords == m_proxies.size())
        return;
    m_recordsByProxy.clear();
    m_nextSameProxy.assign(size_t(m_proxies.size()), -1);
    for (int i = int(m_proxies.size()) - 1; i >= 0; --i) {
        const QString& proxy = m_proxies.at(i).Proxy;
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
    m_indexedRecords = m_proxies.size();
}

bool TProxyManager::FindProxyByCountry(const QString& country, TProxyRec& rec) const
{
    rec = TProxyRec();
    bool found = false;
    for (const TProxyRec& each : m_proxies) {
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
    for (const TProxyRec& each : m_proxies) {
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
    for (const TProxyRec& each : m_proxies) {
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
    if (ExitRouteOn()) {
        StartRoute();
        return;
    }
    // Switched back to the list while the route still ran: the list's proxy replaces it when one passes.
    StopRoute();
    TProxyTester& tester = *m_tester;
    tester.Done = 0;
    m_readyList.clear();
    tester.SetStopped(false);
    tester.Total = 0;
    HandOverSlice(++m_handOverRun, 0);
}

void TProxyManager::ProxyTested(bool Success, int Index, const QString& Response, const QString& Host, int Port,
                                quint32 Elapsed)
{
    Q_UNUSED(Index);
    Q_UNUSED(Response);
    TProxyTester& tester = *m_tester;
    // The gauge is full only when the run is complete; a count past the hand-overs would leave it stuck.
    emit progress(tester.Total, qMin(tester.Done, tester.Total));
    if (tester.Stopped())
        return;

    const QString key = Host + QLatin1Char(':') + QString::number(Port);
    ensureRecordIndex();
    for (int i = m_recordsByProxy.value(key, -1); i >= 0 && i < m_proxies.size();
         i = size_t(i) < m_nextSameProxy.size() ? m_nextSameProxy[size_t(i)] : -1) {
        if (m_proxies.at(i).Proxy != key)
            continue; // the index is rebuilt with every list; a record changed since is not this proxy
        TProxyRec& rec = m_proxies[i];
        if (Success) {
            rec.Status = TProxyRec::stPassed;
            rec.Speed = int(Elapsed);
            ProxyJudgement verdict;
            if (tester.PassVerdict(Host, Port, verdict))
                rec.Anonymity = AnonymityName(verdict.anonymity);
            m_readyList.append(rec.Proxy);
        } else {
            rec.Status = TProxyRec::stFailed;
        }
    }
    qCDebug(lcProxyTrace).noquote() << "Max" << tester.Total << "Current" << tester.Done;

    if (tester.Done > 30) {
        SelectProxy();
        tester.SetStopped(true);
    } else if (tester.Done == tester.Total && !HandingOver()) {
        SelectProxy();
    } else if (Success && m_blocked) {
        // The web is blocked: the first proxy that passes ends that at once, without waiting for the run.
        SelectProxy();
    }
}

void TProxyManager::SelectProxy()
{
    qCDebug(lcProxyTrace).noquote() << "ready list:" << m_readyList.join(QStringLiteral(", "));
    if (m_readyList.isEmpty()) {
        if (BlockRatherThanExpose())
            return;
        ShowCountryNotAvailable();
        return;
    }

    QString choice = m_readyList.first();
    if (m_autoChange && m_readyList.size() >= 2 && choice == m_currentProxy) {
        // Entry 0 unless it is the proxy in use; then a random other one. When every entry is the proxy in
        // use there is nothing to move to and it stays; a bounded number of draws keeps a poor random
        // source from spinning for ever.
        const qsizetype firstOther = std::find_if(m_readyList.cbegin(), m_readyList.cend(),
                                                  [&](const QString& p) { return p != m_currentProxy; }) -
                                     m_readyList.cbegin();
        if (firstOther < m_readyList.size()) {
            const int count = int(m_readyList.size());
            bool drawn = false;
            for (int attempt = 0; attempt < 64 * count && !drawn; ++attempt) {
                const int index = qBound(0, m_random(count), count - 1);
                if (m_readyList.at(index) != m_currentProxy) {
                    choice = m_readyList.at(index);
                    drawn = true;
                }
            }
            if (!drawn)
                choice = m_readyList.at(firstOther);
        }
    }

    if (m_clearCookiesOnChange && choice != m_currentProxy) {
        m_browsers.ClearIECookies();
        m_browsers.ClearFirefoxCookies();
    }
    ApplyProxy(choice);
}

void TProxyManager::ShowCountryNotAvailable()
{
    m_services.ShowMessageBox(
        QStringLiteral("IP in ") + m_country +
            QStringLiteral(" is not available now. Please choose other countries or try it later."),
        {}, 0, TEngineServices::mtInformation, TEngineServices::mbOK, 0);
    StopHide();
}

void TProxyManager::ApplyProxy(const QString& proxy)
{
    m_currentProxy = proxy;
    TProxyRec rec;
    const bool known = FindProxy(proxy, rec);
    m_currentKind = rec.Kind;
    // The browsers learn the kind from the text: socks5://host:port for a SOCKS5 proxy.
    const QString text = ProxyAddressText(m_currentKind, proxy);
    m_browsers.SetIEProxy(text);
    m_browsers.SetFirefoxProxy(text);
    m_browsers.SetOperaProxy(text); // a write error reaches the caller before the state below changes
    m_active = true;
    LeaveBlock();
    if (known)
        emit proxyChanged(rec);
    if (m_leakCheck && m_active && m_currentProxy == proxy) {
        // The test that made the proxy ready may be minutes old, and what the sites see is what counts.
        m_checkFailures = 0;
        m_firstCheckPending = true;
        m_checkTimer.start();
        CheckCurrentProxy();
    }
}

void TProxyManager::CheckCurrentProxy()
{
    if (m_routeActive) {
        CheckRoute();
        return;
    }
    if (!m_active || m_blocked || m_currentProxy.isEmpty())
        return;
    const qsizetype colon = m_currentProxy.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int port = colon < 0 ? 0 : m_currentProxy.mid(colon + 1).toInt(&ok);
    m_checker->Done = 0;
    m_checker->Total = 1;
    // The applied proxy passed its test: a slow answer now is worth its full limit.
    m_checker->TestProxy(0, m_currentProxy.left(colon), ok ? port : 80, m_currentKind, true);
}

void TProxyManager::ProxyChecked(bool success, const QString& host, int port)
{
    const QString key = host + QLatin1Char(':') + QString::number(port);
    // A check of a proxy no longer applied says nothing about the one that is.
    if (!m_active || key != m_currentProxy)
        return;
    const bool first = m_firstCheckPending;
    m_firstCheckPending = false;
    if (success) {
        m_checkFailures = 0;
        ProxyJudgement verdict;
        m_checker->PassVerdict(host, port, verdict, m_currentKind);
        const QString anonymity = AnonymityName(verdict.anonymity);
        setRecordStatus(key, TProxyRec::stPassed, anonymity);
        TProxyRec rec;
        if (FindProxy(key, rec))
            emit proxyVerified(rec, verdict.seenAddress);
        return;
    }
    ++m_checkFailures;
    qCWarning(lcProxyTrace).noquote() << "The applied proxy" << key << "failed its check" << m_checkFailures
                                      << (m_checkFailures == 1 ? "time" : "times in a row");
    const bool failOver = first || m_checkFailures >= 2;
    emit proxyCheckFailed(key);
    if (failOver && m_active && m_currentProxy == key)
        FailOver();
}

void TProxyManager::FailOver()
{
    const QString dead = m_currentProxy;
    // Keyed as the test run handed it to the tester. The pass and the place in the ready list go at once:
    // no later selection, of the run under way or of an automatic change, may take the proxy again.
    const qsizetype colon = dead.indexOf(QLatin1Char(':'));
    bool ok = false;
    const int port = colon < 0 ? 0 : dead.mid(colon + 1).toInt(&ok);
    m_tester->Forget(colon < 0 ? dead : dead.left(colon), ok ? port : 80, m_currentKind);
    setRecordStatus(dead, TProxyRec::stFailed, QString());
    m_readyList.removeAll(dead);
    m_checkFailures = 0;
    // A test run under way ends in a selection of its own, which replaces this proxy; until then the ready
    // list may be empty only because the run has not got far yet.
    if (Testing())
        return;
    try {
        SelectProxy();
    } catch (const std::exception& e) {
        // A browser file that cannot be written ends the change, as it ends an automatic one, and the user
        // learns which file it was.
        m_services.ShowMessageBox(QString::fromStdString(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
    }
}

void TProxyManager::setRecordStatus(const QString& proxy, int status, const QString& anonymity)
{
    ensureRecordIndex();
    for (int i = m_recordsByProxy.value(proxy, -1); i >= 0 && i < m_proxies.size();
         i = size_t(i) < m_nextSameProxy.size() ? m_nextSameProxy[size_t(i)] : -1) {
        if (m_proxies.at(i).Proxy != proxy)
            continue;
        m_proxies[i].Status = status;
        if (status == TProxyRec::stPassed && !anonymity.isEmpty())
            m_proxies[i].Anonymity = anonymity;
    }
}

void TProxyManager::StopHide()
{
    StopRoute();
    m_active = false;
    LeaveBlock();
    m_checkTimer.stop();
    m_checker->SetStopped(true);
    m_firstCheckPending = false;
    m_checkFailures = 0;
    m_tester->SetStopped(true);
    m_browsers.SetIEProxy(QString());
    m_browsers.SetFirefoxProxy(QString());
    m_browsers.SetOperaProxy(QString());
    emit stopped();
}

void TProxyManager::ChangeIP()
{
    if (m_routeActive) {
        ChangeRouteIdentity();
        return;
    }
    // While a test run is under way the ready list is being refilled; the run's own selection changes the
    // proxy, and this tick is skipped rather than read as "nothing works".
    if (m_active && !Testing())
        SelectProxy();
}
