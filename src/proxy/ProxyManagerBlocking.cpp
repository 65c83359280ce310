// The proxy manager's way out when no working proxy is left and the user would rather have the web blocked than
// seen under the own address: the browsers go to the blocker instead of direct, and the search for a working
// proxy goes on by itself until one passes or the user stops hiding.
#include "proxy/TProxyManager.h"

#include "proxy/BrowserControl.h"
#include "proxy/ProxyTrace.h"
#include "proxy/TProxyInfoGet.h"
#include "proxy/WebBlocker.h"
#include "util/EngineServices.h"

#include <QPointer>

#include <exception>

bool TProxyManager::BlockRatherThanExpose()
{
    if (!m_blocker || !m_blocker->BlockWhenNoProxy())
        return false;
    if (m_blocked)
        return true; // the browsers point at the blocker already and the search goes on
    const QString blocker = m_blocker->StartBlocking();
    if (blocker.isEmpty()) {
        qCWarning(lcProxyTrace) << "The blocking endpoint cannot serve; hiding ends instead";
        return false;
    }
    qCInfo(lcProxyTrace).noquote() << "No working proxy is left; the web is blocked through" << blocker;
    // The state comes first: should a browser file fail below, Stop Hide still knows what to undo and the
    // search still runs. Hiding stays on, but nothing is left to check.
    m_blocked = true;
    m_active = true;
    m_checkTimer.stop();
    m_checker->SetStopped(true);
    m_firstCheckPending = false;
    m_checkFailures = 0;
    m_retryListPending = false;
    m_retryTimer.start(qMax(1, m_blocker->RetryIntervalMs()));
    // The desktop and the companions first: they carry nearly every page, and no message may come before them.
    m_browsers.SetIEProxy(blocker);
    m_browsers.SetFirefoxProxy(blocker);
    try {
        m_browsers.SetOperaProxy(blocker);
    } catch (...) {
        // The other browsers are blocked all the same; the caller reports the file.
        emit webBlocked(blocker);
        throw;
    }
    emit webBlocked(blocker);
    return true;
}

void TProxyManager::LeaveBlock()
{
    if (!m_blocked)
        return;
    m_blocked = false;
    m_retryTimer.stop();
    m_retryListPending = false;
    if (m_blocker)
        m_blocker->StopBlocking();
}

void TProxyManager::RetryWhileBlocked()
{
    // A run under way ends in a selection of its own.
    if (!m_blocked || !m_blocker || Testing())
        return;
    const QString url = m_blocker->ProxyListUrl();
    // When the last list never came (the service is down or out of reach), the proxies in hand are tried again.
    const bool testListInHand = url.isEmpty() || m_retryListPending;
    if (!url.isEmpty()) {
        m_retryListPending = true;
        TProxyInfoGet::Start(url, QPointer<QObject>(this),
                             [this](const QString& text) { FreshListWhileBlocked(text); });
    }
    if (testListInHand)
        StartHideShowingErrors();
}

void TProxyManager::FreshListWhileBlocked(const QString& text)
{
    m_retryListPending = false;
    // Hiding through a proxy again, or stopped: the search's list is of no use any more.
    if (!m_blocked)
        return;
    try {
        // Whoever listens to listLoaded may start the run itself (hiding resumed with a fresh list).
        ProxyListReceived(text);
    } catch (const std::exception& e) {
        m_services.ShowMessageBox(QString::fromStdString(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
    }
    if (m_blocked && !Testing())
        StartHideShowingErrors();
}

void TProxyManager::StartHideShowingErrors()
{
    try {
        StartHide();
    } catch (const std::exception& e) {
        // A proxy that passes at once is applied inside the run's start; its browser file may fail.
        m_services.ShowMessageBox(QString::fromStdString(e.what()), {}, 0, TEngineServices::mtError,
                                  TEngineServices::mbOK, 0);
    }
}
