// Hiding through the exit route (Veilport's own tor) instead of the list's proxies: the route's SOCKS port is
// applied like any SOCKS5 proxy once the route is connected, checked against the route's own check page, and an
// automatic change or a failed check asks the route for a new identity instead of picking another proxy.
#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "proxy/CountryNames.h"
#include "proxy/ExitRoute.h"
#include "proxy/ProxyTrace.h"
#include "util/EngineServices.h"

#include <QPointer>

#include <exception>

namespace {
// An automatic change whose interval is unknown keeps trying for as long as the main window's default.
constexpr int kDefaultChangeMinutes = 10;
} // namespace

void TProxyManager::SetExitRoute(IExitRoute* route)
{
    if (m_route)
        m_route->disconnect(this);
    StopRoute();
    m_route = route;
    m_routeChecker.reset();
    if (!route)
        return;
    // Its own tester: the route's check page tells the exit's address, and nothing earlier is trusted.
    m_routeChecker = std::make_unique<TProxyTester>(route->checkUrl(), [](int) { return 0; });
    m_routeChecker->SetPassValidityMs(0);
    m_routeChecker->SetLocalAddress(m_localIP);
    m_routeChecker->OnTestResult = [this](bool success, int, const QString&, const QString& host, int port, quint32) {
        RouteChecked(success, host, port);
    };
    m_routeClock.start();
    connect(route, &IExitRoute::progress, this, [this](int percent, const QString& summary) {
        if (m_routeActive)
            emit routeProgress(percent, summary);
    });
    connect(route, &IExitRoute::controlReady, this, [this] {
        if (m_routeActive)
            SetRouteCountry();
    });
    connect(route, &IExitRoute::ready, this, &TProxyManager::RouteReady);
    connect(route, &IExitRoute::failed, this, &TProxyManager::RouteFailed);
    connect(route, &IExitRoute::identityChanged, this, &TProxyManager::RouteIdentityChanged);
    connect(route, &IExitRoute::identityDelayed, this, [this](int seconds) {
        if (m_routeActive)
            qCInfo(lcProxyTrace).noquote() << "Tor gives a new identity in" << seconds << "s";
    });
}

bool TProxyManager::SetRouteCountry()
{
    const QString code = m_country == kAutoSelected ? QString() : CountryCodeOfName(m_country);
    if (m_country != kAutoSelected && code.isEmpty()) {
        qCWarning(lcProxyTrace).noquote() << "No country code is known for" << m_country;
        ShowCountryNotAvailable();
        return false;
    }
    const int run = m_routeRun;
    QPointer<TProxyManager> self(this);
    m_route->setExitCountry(code, [self, run, code](const QString& error) {
        if (self && run == self->m_routeRun && !error.isEmpty())
            qCWarning(lcProxyTrace).noquote() << "Tor refused the exit country" << code << ":" << error;
    });
    return true;
}

void TProxyManager::StartRoute()
{
    m_tester->SetStopped(true);
    m_readyList.clear();
    if (m_routeActive && !m_routeReady)
        return; // still connecting: this run goes on (a second list arriving while resuming hides again)
    if (m_routeActive) {
        // Hide again while connected: the country may have changed; new circuits take it up.
        m_changing = false;
        ++m_routeRun;
        const qsizetype colon = m_routeProxy.lastIndexOf(QLatin1Char(':'));
        if (SetRouteCountry()) {
            AskNewIdentity();
            RouteReady(m_routeProxy.left(colon), quint16(m_routeProxy.mid(colon + 1).toUInt()));
        }
        return;
    }
    m_routeActive = true;
    m_routeReady = false;
    ++m_routeRun;
    qCInfo(lcProxyTrace).noquote() << "Hiding through Tor, exits in" << m_country;
    emit routeProgress(0, QString());
    m_route->start();
}

void TProxyManager::StopRoute()
{
    if (!m_routeActive)
        return;
    m_routeActive = false;
    m_routeReady = false;
    m_changing = false;
    ++m_routeRun;
    if (m_routeChecker)
        m_routeChecker->SetStopped(true);
    qCInfo(lcProxyTrace).noquote() << "Tor stops";
    m_route->stop();
}

void TProxyManager::RouteReady(const QString& host, quint16 port)
{
    if (!m_routeActive)
        return;
    m_routeReady = true;
    const QString proxy = host + QLatin1Char(':') + QString::number(port);
    m_routeProxy = proxy;
    const QString code = m_country == kAutoSelected ? QString() : CountryCodeOfName(m_country);
    const int run = m_routeRun;
    QPointer<TProxyManager> self(this);
    // Nothing is applied before tor tells which countries it can leave from: a country without exits would
    // carry no traffic at all.
    m_route->exitCountries([self, run, code, proxy](const QStringList& codes, const QString& error) {
        if (!self || run != self->m_routeRun)
            return;
        self->m_exitCountries.clear();
        for (const QString& each : codes) {
            const QString name = CountryNameOfCode(each);
            if (!name.isEmpty())
                self->m_exitCountries.append(name);
        }
        if (!error.isEmpty())
            qCWarning(lcProxyTrace).noquote() << "Tor did not name its exit countries:" << error;
        if (!code.isEmpty() && !codes.isEmpty() && !codes.contains(code, Qt::CaseInsensitive)) {
            qCWarning(lcProxyTrace).noquote() << "Tor knows no exit in" << self->m_country;
            self->ShowCountryNotAvailable();
            return;
        }
        self->ApplyRoute(proxy);
    });
}

void TProxyManager::ApplyRoute(const QString& proxy)
{
    const QString text = ProxyAddressText(TProxyKind::Socks5, proxy);
    try {
        m_browsers.SetIEProxy(text);
        m_browsers.SetFirefoxProxy(text);
        m_browsers.SetOperaProxy(text);
    } catch (const std::exception& e) {
        m_services.ShowMessageBox(QString::fromStdString(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
        StopHide();
        return;
    }
    qCInfo(lcProxyTrace).noquote() << "Tor's SOCKS port" << proxy << "is applied";
    m_currentProxy = proxy;
    m_currentKind = TProxyKind::Socks5;
    m_active = true;
    LeaveBlock();
    emit proxyChanged(RouteRecord(m_country == kAutoSelected ? QString() : m_country));
    m_checkFailures = 0;
    m_firstCheckPending = true;
    if (m_leakCheck)
        m_checkTimer.start();
    CheckRoute();
}

TProxyRec TProxyManager::RouteRecord(const QString& country) const
{
    TProxyRec rec;
    rec.Proxy = m_currentProxy;
    rec.Kind = TProxyKind::Socks5;
    rec.Info = QStringLiteral("Tor");
    rec.Country = country;
    rec.Status = TProxyRec::stPassed;
    // The list names the flag of every country it has proxies in; tor's exits are usually among them.
    if (!country.isEmpty()) {
        if (country == m_localCountry) {
            rec.FlagUrl = m_countryFlag;
        } else {
            TProxyRec listed;
            if (FindProxyByCountry(country, listed))
                rec.FlagUrl = listed.FlagUrl;
        }
    }
    return rec;
}

void TProxyManager::RouteFailed(const QString& message)
{
    if (!m_routeActive)
        return;
    const bool missing = !m_route->installed();
    qCWarning(lcProxyTrace).noquote() << "Tor failed:" << message;
    try {
        StopHide();
    } catch (const std::exception& e) {
        qCWarning(lcProxyTrace).noquote() << "Cannot set the browsers back to direct:" << e.what();
    }
    if (missing)
        emit exitRouteMissing();
    m_services.ShowMessageBox(message, {}, 0, TEngineServices::mtError, TEngineServices::mbOK, 0);
}

void TProxyManager::CheckRoute()
{
    if (!m_active || !m_routeActive || !m_routeChecker || m_currentProxy.isEmpty())
        return;
    const qsizetype colon = m_currentProxy.lastIndexOf(QLatin1Char(':'));
    m_routeChecker->Done = 0;
    m_routeChecker->Total = 1;
    m_routeChecker->TestProxy(0, m_currentProxy.left(colon), m_currentProxy.mid(colon + 1).toInt(), TProxyKind::Socks5);
}

void TProxyManager::RouteChecked(bool success, const QString& host, int port)
{
    const QString key = host + QLatin1Char(':') + QString::number(port);
    if (!m_active || !m_routeActive || key != m_currentProxy)
        return;
    m_firstCheckPending = false;
    if (!success) {
        ++m_checkFailures;
        qCWarning(lcProxyTrace).noquote() << "The check through Tor failed; asking Tor for a new identity";
        emit proxyCheckFailed(key);
        AskNewIdentity();
        return;
    }
    ProxyJudgement verdict;
    m_routeChecker->PassVerdict(host, port, verdict, TProxyKind::Socks5);
    const QString seen = verdict.seenAddress;
    if (m_changing) {
        if (!seen.isEmpty() && seen == m_seenBefore) {
            if (m_routeClock.elapsed() < m_changeDeadlineMs) {
                qCInfo(lcProxyTrace).noquote() << "Sites still see" << seen << "through Tor; asking again";
                AskNewIdentity();
                return;
            }
            qCWarning(lcProxyTrace).noquote() << "Tor kept the exit" << seen << "for the whole change interval";
        } else {
            qCInfo(lcProxyTrace).noquote() << "Tor's exit moved from" << m_seenBefore << "to" << seen;
        }
        m_changing = false;
    }
    m_checkFailures = 0;
    m_routeSeen = seen;
    if (seen.isEmpty()) {
        emit proxyVerified(RouteRecord(QString()), seen);
        return;
    }
    const int run = m_routeRun;
    QPointer<TProxyManager> self(this);
    m_route->countryOf(seen, [self, run, seen](const QString& code, const QString&) {
        if (!self || run != self->m_routeRun || !self->m_active)
            return;
        emit self->proxyVerified(self->RouteRecord(CountryNameOfCode(code)), seen);
    });
}

void TProxyManager::ChangeRouteIdentity()
{
    // A change still under way goes on until its interval has passed.
    if (!m_active || !m_routeActive || (m_changing && m_routeClock.elapsed() < m_changeDeadlineMs))
        return;
    m_changing = true;
    m_changeCookiesDone = false;
    m_seenBefore = m_routeSeen;
    const int minutes = m_changeInterval > 0 ? m_changeInterval : kDefaultChangeMinutes;
    m_changeDeadlineMs = m_routeClock.elapsed() + qint64(minutes) * 60000;
    qCInfo(lcProxyTrace).noquote() << "Automatic change: sites see" << m_seenBefore << "; asking Tor for another";
    AskNewIdentity();
}

void TProxyManager::AskNewIdentity()
{
    // tor joins a request to one under way and may drop one without a word; the periodic check and the next
    // tick ask again, so nothing here waits for an answer.
    if (!m_route->newIdentity())
        qCWarning(lcProxyTrace).noquote() << "Tor is not connected; no new identity";
}

void TProxyManager::RouteIdentityChanged()
{
    if (!m_routeActive)
        return;
    qCInfo(lcProxyTrace).noquote() << "Tor has a new identity";
    if (m_changing && m_clearCookiesOnChange && !m_changeCookiesDone) {
        m_changeCookiesDone = true;
        m_browsers.ClearIECookies();
        m_browsers.ClearFirefoxCookies();
    }
    CheckRoute();
}
