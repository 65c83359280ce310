#pragma once

#include "proxy/ProxyListLines.h"
#include "proxy/TProxyRec.h"
#include "proxy/TProxyTester.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class IBrowserControl;

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
    // (the default source when empty). browsers must outlive the manager.
    TProxyManager(IBrowserControl& browsers, const QString& testUrl, TRandomSource random = {},
                  QObject* parent = nullptr);
    // Stops the tester; does not touch the browsers.
    ~TProxyManager() override;

    // The service's test address "http://" + serviceHost + "/getip.php?VER=1".
    static QString TestUrlForHost(const QString& serviceHost);

    // List data (filled by ParseProxyList).
    ProxyListLines RawList; // the list text as received or loaded, line by line
    QString LocalIP;
    QString LocalCountry;
    QString CountryFlag;
    QString LocalLatitude;
    QString LocalLongitude;
    QList<TProxyRec> Proxies;
    QStringList Countries;

    // Hiding state.
    QString CurrentProxy;    // host:port applied last; empty until the first
    int ChangeInterval = 0;  // minutes between automatic changes; kept for the main window
    bool AutoChange = false; // rotation on: SelectProxy avoids CurrentProxy
    bool ClearCookiesOnChange = false;
    QString Country;       // chosen country; kAutoSelected means every country
    QStringList ReadyList; // proxies that passed in the current run, in order of arrival
    bool Active = false;   // a proxy is applied to the browsers

    // The tester owned by the manager.
    TProxyTester& Tester() { return *m_tester; }

    // Loads the list file into RawList and parses it; false (and nothing changed) when the file is missing.
    bool LoadFromFile(const QString& fileName);
    // Writes RawList line by line with CR LF, replacing the file atomically. Throws std::runtime_error on failure.
    void SaveToFile(const QString& fileName) const;
    // Starts a background download of the list; a non-empty 2xx body arrives later in ProxyListReceived.
    void DownloadProxyList(const QString& url);
    // Takes a downloaded list text: a non-empty text replaces RawList and is parsed; an empty one is ignored.
    void ProxyListReceived(const QString& text);
    // Fills the list data from RawList and emits listLoaded.
    void ParseProxyList();
    // Copies out the last record of exactly this country; false when none (rec is cleared).
    bool FindProxyByCountry(const QString& country, TProxyRec& rec) const;
    // Copies out the last record of exactly this address; false when none (rec is cleared).
    bool FindProxy(const QString& proxy, TProxyRec& rec) const;
    // Counts the passed (Working) and other records of exactly this country; false when it has none.
    bool CountProxies(const QString& country, int& Working, int& Others) const;

    // Starts a test run over the proxies of Country.
    void StartHide();
    // Sets every browser back to a direct connection, stops the tester and emits stopped.
    void StopHide();
    // While Active, moves to another ready proxy without testing again.
    void ChangeIP();
    // Picks a ready proxy and applies it, or tells the user that the country is not available and stops.
    void SelectProxy();
    // Applies host:port to every browser and emits proxyChanged with its record.
    void ApplyProxy(const QString& proxy);
    // Books one test result (the tester's OnTestResult).
    void ProxyTested(bool Success, int Index, const QString& Response, const QString& Host, int Port, quint32 Elapsed);

signals:
    // A list has been parsed (from the file or the service).
    void listLoaded(TProxyManager* manager);
    // Testing progress: proxies handed to the tester and results so far.
    void progress(int max, int current);
    // A proxy has been applied; carries its record.
    void proxyChanged(const TProxyRec& rec);
    // The proxy has been removed from the browsers.
    void stopped();

private:
    IBrowserControl& m_browsers;
    TRandomSource m_random;
    std::unique_ptr<TProxyTester> m_tester;
    // Records by address: the first index of each Proxy, then a chain to the next; built on first use after
    // each parse (m_indexedRecords is the record count it was built for, -1 when stale).
    void ensureRecordIndex();
    QHash<QString, int> m_recordsByProxy;
    std::vector<int> m_nextSameProxy;
    qsizetype m_indexedRecords = -1;
};
