#pragma once

#include <QObject>
#include <QString>

class FlagService;
class IMainView;
class TEngineServices;
class TProxyManager;
class TSettings;
struct TProxyRec;

// What the main window is told to show while the proxy manager loads lists, tests proxies, applies
// one and takes it away again, and the flags of both countries. It handles the manager's events.
class HidingPresenter : public QObject
{
    Q_OBJECT

public:
    // texts: the language texts; every argument must outlive this object.
    HidingPresenter(TSettings& settings, const TEngineServices& texts, TProxyManager& manager, FlagService& flags,
                    QObject* parent = nullptr);

    // Where the handlers show what happens; null while there is no main window (not owned).
    void SetMainView(IMainView* view) { m_view = view; }
    IMainView* MainView() const { return m_view; }

    // Gives the proxy manager what a proxy must show, from the constants and the user's settings.
    void ApplyProxyTestOptions();
    // Hiding through Tor needs no list: while none has loaded, the window offers Hide anyway (the own address
    // unknown) and hiding left on at the last close resumes. False, doing nothing, when hiding goes through the
    // list's proxies or a list is there.
    bool OfferHidingWithoutList();

    // Handlers of the proxy manager's events.
    void OnProxyListLoaded(TProxyManager* manager);
    void OnHide(const TProxyRec& rec);
    void OnStopHide();
    // A check through the applied proxy passed: shows the address the web now sees (and that the user
    // hides again, after a check that failed).
    void OnProxyVerified(const TProxyRec& rec, const QString& seenAddress);
    // A check through the applied proxy failed: the window stops saying that the user hides.
    void OnProxyCheckFailed(const QString& proxy);
    void OnTestProgress(int max, int current);
    // Veilport's own tor is connecting: the progress display shows how far.
    void OnRouteProgress(int percent);
    // No working proxy is left and the browsers point at the blocker: the window says that the web is blocked.
    void OnWebBlocked();

private:
    // "You are hiding your real ip " with the own address, in the current language.
    QString HidingSentence() const;
    // Has the main window warn that the applied proxy failed its last check.
    void ShowCheckFailed(const QString& proxy);

    TSettings& m_settings;
    const TEngineServices& m_texts;
    TProxyManager& m_manager;
    FlagService& m_flags;
    IMainView* m_view = nullptr;
    // The address the main window shows last: the own one, the proxy's, or what a check saw.
    QString m_shownAddress;
    // The country whose flag the first line shows while hiding.
    QString m_shownCountry;
    // The last check of the applied proxy (m_failedProxy) failed, and the window says so.
    bool m_checkFailedShown = false;
    QString m_failedProxy;
};
