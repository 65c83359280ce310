#pragma once

#include "proxy/ProxyListLines.h"
#include "proxy/TProxyRec.h"
#include "proxy/TProxyTester.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class IBrowserControl;
class IExitRoute;
class IWebBlocker;
class TEngineServices;

Q_DECLARE_METATYPE(TProxyRec)

// The value of Country that stands for every country.
inline const QString kAutoSelected = QStringLiteral("Auto Selected");

// The one proxy pool of the program: the proxy list and its file, the tester, the choice of a working proxy
// of the chosen country and its application to every browser, and the automatic change to another one.
// Lives on the user-interface thread. Its events are the signals listLoaded (OnListLoaded), progress
// (OnProgress), proxyChanged (OnProxyChanged) and stopped (OnStopped).
class TProxyManager : public QObject
{
    Q_OBJECT

public:
    // Upper bound of ProxyCount honoured by the parser; a larger count is read as this many.
    static constexpr int kMaxProxyCount = 1000000;

    // The tester asks testUrl through each proxy; random draws the start delays and the rotation pick
    // (the default source when empty). services show the user what cannot be done (no proxy of the
    // chosen country). browsers and services must outlive the manager.
    TProxyManager(IBrowserControl& browsers, TEngineServices& services, const QString& testUrl,
                  TRandomSource random = {}, QObject* parent = nullptr);
    // Stops the tester; does not touch the browsers.
    ~TProxyManager() override;

    // The service's test address "http://" + serviceHost + "/getip.php?VER=2".
    static QString TestUrlForHost(const QString& serviceHost);

    // What a proxy must show to pass, for the tests and checks started from now on: an https address
    // reached through a CONNECT tunnel of the proxy (empty: none), and the time limit of a test.
    void SetTunnelUrl(const QString& url);
    void SetTestTimeoutMs(int ms);
    // The time limit of a proxy not seen working before (it is most likely dead); <= 0: the test's own limit.
    void SetFirstContactTimeoutMs(int ms);
    // How long a pass is trusted before the proxy is tested again.
    void SetPassValidityMs(qint64 ms);
    // With the check on, every applied proxy is asked at once, and then every intervalMs while hiding, to
    // show that it still works and hides the user; a failed first check, or two failed checks in a row,
    // drop it from the ready list and move to another ready proxy (or end hiding when none is left). While a
    // test run is under way, the run's own selection makes the move.
    void SetLeakCheck(bool on, int intervalMs = 60000);
    // Whether a test run is under way (proxies handed over, results still to come).
    bool Testing() const;
    // Where the browsers go when no working proxy is left and the user has chosen to block the web then (null:
    // hiding ends and they go direct). Must outlive the manager.
    void SetWebBlocker(IWebBlocker* blocker) { m_blocker = blocker; }
    // Hiding is on, but the browsers point at the blocker because no working proxy is left.
    bool Blocked() const { return m_blocked; }

    // The route (Veilport's own tor) used instead of the list's proxies while switched on; null: none. Must
    // outlive the manager.
    void SetExitRoute(IExitRoute* route);
    // The user chose to hide through the route (from the next StartHide on) or through the list's proxies.
    void SwitchExitRoute(bool on) { m_useRoute = on; }
    bool ExitRouteOn() const { return m_useRoute && m_route; }
    // Hiding runs through the route now (from StartHide until StopHide).
    bool RouteActive() const { return m_routeActive; }
    // The countries (list names) in which the route knew exits when it was last ready; empty while unknown.
    const QStringList& ExitCountries() const { return m_exitCountries; }

    // List data, filled by ParseProxyList.
    const ProxyListLines& RawList() const { return m_rawList; } // the list text as received or loaded, by line
    const QString& LocalIP() const { return m_localIP; }
    const QString& LocalCountry() const { return m_localCountry; }
    const QString& CountryFlag() const { return m_countryFlag; }
    const QString& LocalLatitude() const { return m_localLatitude; }
    const QString& LocalLongitude() const { return m_localLongitude; }
    // Record n comes from the entry Proxy_n; Status, Speed and Anonymity are booked by the proxy tests and checks.
    const QList<TProxyRec>& Proxies() const { return m_proxies; }
    const QStringList& Countries() const { return m_countries; }

    // Hiding state.
    const QString& CurrentProxy() const { return m_currentProxy; } // host:port applied last; empty until the first
    int ChangeInterval() const { return m_changeInterval; }        // minutes between automatic changes
    bool AutoChange() const { return m_autoChange; }               // rotation on: SelectProxy avoids CurrentProxy
    bool ClearCookiesOnChange() const { return m_clearCookiesOnChange; }
    const QString& Country() const { return m_country; } // chosen country; kAutoSelected means every country
    // Proxies that passed in the current run, in order of arrival (twice for an address listed twice).
    const QStringList& ReadyList() const { return m_readyList; }
    bool Active() const { return m_active; } // a proxy is applied to the browsers

    // The user chose the country whose proxies the next test run tries (kAutoSelected: every country). The
    // proxy in use and the ready list stay until the user hides again.
    void ChooseCountry(const QString& country);
    // The user switched the automatic change on or off: while on, a selection avoids the proxy in use.
    void SwitchAutoChange(bool on);
    // The user set the minutes between automatic changes; kept for the main window, the manager does not time.
    void SetChangeInterval(int minutes);
    // The user switched cookie clearing on or off: while on, a selection that changes the proxy clears the
    // browsers' cookies first.
    void SwitchClearCookiesOnChange(bool on);

    // The tester owned by the manager.
    TProxyTester& Tester() { return *m_tester; }

    // Loads the list file into RawList and parses it; false (and nothing changed) when the file is missing.
    bool LoadFromFile(const QString& fileName);
    // Takes list lines as they stand (a line holding a line break stays one line) as RawList and parses them.
    void TakeProxyList(ProxyListLines lines);
    // Writes RawList line by line with CR LF, replacing the file atomically. Throws std::runtime_error on failure.
    void SaveToFile(const QString& fileName) const;
    // Starts a background download of the list; a non-empty 2xx body arrives later in ProxyListReceived.
    void DownloadProxyList(const QString& url);
    // Takes a downloaded list text: a non-empty text replaces RawList and is parsed; an empty one is ignored.
    void ProxyListReceived(const QString& text);
    // Fills the list data from RawList again and emits listLoaded.
    void ParseProxyList();
    // Copies out the last record of exactly this country; false when none (rec is cleared).
    bool FindProxyByCountry(const QString& country, TProxyRec& rec) const;
    // Copies out the last record of exactly this address; false when none (rec is cleared).
    bool FindProxy(const QString& proxy, TProxyRec& rec) const;
    // Counts the passed (Working) and other records of exactly this country; false when it has none.
    bool CountProxies(const QString& country, int& Working, int& Others) const;

    // Starts a test run over the proxies of Country, or the route (exits in Country) when it is switched on.
    void StartHide();
    // Sets every browser back to a direct connection, stops the tester and emits stopped.
    void StopHide();
    // While Active, moves to another ready proxy without testing again; through the route, asks it for a new
    // identity until sites see another address (or the change interval has passed).
    void ChangeIP();
    // Picks a ready proxy and applies it, or tells the user that the country is not available and stops.
    void SelectProxy();
    // Applies host:port to every browser (as socks5://host:port when its record is a SOCKS5 proxy) and emits
    // proxyChanged with its record.
    void ApplyProxy(const QString& proxy);
    // Books one test result (the tester's OnTestResult).
    void ProxyTested(bool Success, int Index, const QString& Response, const QString& Host, int Port, quint32 Elapsed);
    // Checks the applied proxy now (a check already under way answers for it).
    void CheckCurrentProxy();

signals:
    // A list has been parsed (from the file or the service).
    void listLoaded(TProxyManager* manager);
    // Testing progress: proxies handed to the tester and results so far.
    void progress(int max, int current);
    // A proxy has been applied; carries its record.
    void proxyChanged(const TProxyRec& rec);
    // The proxy has been removed from the browsers.
    void stopped();
    // A check through the applied proxy passed: web sites now see seenAddress (empty when the service
    // did not tell); rec.Anonymity carries the proxy's class.
    void proxyVerified(const TProxyRec& rec, const QString& seenAddress);
    // A check through the applied proxy (host:port) failed: until another proxy is applied or a later check
    // passes, web sites may see the user's own address, or nothing at all.
    void proxyCheckFailed(const QString& proxy);
    // No working proxy is left and every browser now points at the blocker (its proxy text) instead of going
    // direct. Fresh lists are tested until a proxy passes (proxyChanged) or hiding is stopped (stopped).
    void webBlocked(const QString& blocker);
    // The route is connecting: percent of its start done, and what it does now.
    void routeProgress(int percent, const QString& summary);
    // The route cannot run here (its program is missing): hiding through it has stopped.
    void exitRouteMissing();

private:
    // Tells the user that Country has no working proxy (or exit) and stops hiding.
    void ShowCountryNotAvailable();

    // Hiding through the route (ProxyManagerRoute.cpp).
    void StartRoute();
    // Gives the route the chosen country; false (and hiding stopped) when it has no code.
    bool SetRouteCountry();
    void StopRoute();
    void RouteReady(const QString& host, quint16 port);
    void ApplyRoute(const QString& proxy);
    void RouteFailed(const QString& message);
    void CheckRoute();
    void RouteChecked(bool success, const QString& host, int port);
    void RouteIdentityChanged();
    void ChangeRouteIdentity();
    void AskNewIdentity();
    // The record that stands for the route's SOCKS port, with the exit's country (a list name) when known.
    TProxyRec RouteRecord(const QString& country) const;
    IExitRoute* m_route = nullptr;
    std::unique_ptr<TProxyTester> m_routeChecker; // asks the route's check page through its port
    bool m_useRoute = false;
    bool m_routeActive = false;
    bool m_routeReady = false;
    bool m_changing = false; // an automatic change waits for sites to see another address
    bool m_changeCookiesDone = false;
    qint64 m_changeDeadlineMs = 0; // on m_routeClock: the change gives up after this
    QElapsedTimer m_routeClock;
    int m_routeRun = 0;   // counts route runs, so that a late answer never reaches a later one
    QString m_routeProxy; // host:port of the route's SOCKS port once it is ready
    QString m_routeSeen;  // the address sites saw at the last passed check
    QString m_seenBefore; // the address sites saw before the change under way
    QStringList m_exitCountries;

    void ProxyChecked(bool success, const QString& host, int port);
    // The applied proxy failed its check: it leaves the ready list and another one takes its place, now or at
    // the end of the test run under way. A browser file that cannot be written meanwhile is shown to the user.
    void FailOver();
    // Hands the next proxies of the run to the tester, for a few milliseconds at most, and queues the rest for
    // the next turn of the event loop, so that a long list never holds up the window (ProxyManagerHandOver.cpp).
    void HandOverSlice(quint64 run, qsizetype from);
    // Proxies of the run wait for the next slice of the hand-over.
    bool HandingOver() const { return m_handOverNext >= 0; }
    void setRecordStatus(const QString& proxy, int status, const QString& anonymity);

    ProxyListLines m_rawList;
    QString m_localIP;
    QString m_localCountry;
    QString m_countryFlag;
    QString m_localLatitude;
    QString m_localLongitude;
    QList<TProxyRec> m_proxies;
    QStringList m_countries;

    QString m_currentProxy;
    int m_changeInterval = 0;
    bool m_autoChange = false;
    bool m_clearCookiesOnChange = false;
    QString m_country;
    QStringList m_readyList;
    bool m_active = false;
    qsizetype m_handOverNext = -1; // the record the next slice starts at, -1 when none is waiting
    quint64 m_handOverRun = 0;     // counts test runs, so that a slice of an earlier run does nothing
    quint64 m_listGeneration = 0;  // counts parsed lists, so that a hand-over ends with the list it indexes

    IBrowserControl& m_browsers;
    TEngineServices& m_services;
    TRandomSource m_random;
    std::unique_ptr<TProxyTester> m_tester;
    // Checks the applied proxy: its own tester, with no start delay and no trust in earlier passes.
    std::unique_ptr<TProxyTester> m_checker;
    QTimer m_checkTimer;
    bool m_leakCheck = false;
    bool m_firstCheckPending = false;            // the check right after an apply has not answered yet
    int m_checkFailures = 0;                     // failed periodic checks in a row
    TProxyKind m_currentKind = TProxyKind::Http; // what CurrentProxy speaks, as its record said when applied
    // Records by address: the first index of each Proxy, then a chain to the next; built on first use after
    // each parse (m_indexedRecords is the record count it was built for, -1 when stale).
    void ensureRecordIndex();
    QHash<QString, int> m_recordsByProxy;
    std::vector<int> m_nextSameProxy;
    qsizetype m_indexedRecords = -1;

    // Blocking the web rather than exposing the user when no working proxy is left (ProxyManagerBlocking.cpp).
    // Points every browser at the blocker and starts the search for a working proxy; false when the user has
    // not chosen to block or the blocker cannot serve.
    bool BlockRatherThanExpose();
    // Ends the blocked state and stops the blocker (the browsers are pointed elsewhere by the caller).
    void LeaveBlock();
    // One step of the search: a fresh list, and a test run over it.
    void RetryWhileBlocked();
    void FreshListWhileBlocked(const QString& text);
    // StartHide for the search, which runs from the event loop: a browser file that cannot be written is shown.
    void StartHideShowingErrors();
    IWebBlocker* m_blocker = nullptr;
    bool m_blocked = false;
    bool m_retryListPending = false; // the search's last list has not arrived
    QTimer m_retryTimer;
};
