#include "ui/HidingPresenter.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "proxy/TProxyManager.h"
#include "ui/FlagService.h"
#include "ui/IMainView.h"
#include "util/EngineServices.h"
#include "util/SPTools.h"

#include <QLoggingCategory>

#include <exception>

namespace {

Q_LOGGING_CATEGORY(lcHiding, "veilport.hiding")

// The tray's hint while hiding: the address the web sees, the proxy's country and how well it hides.
QString HidingTip(const QString& address, const TProxyRec& rec)
{
    QString tip = QStringLiteral("Veilport\n%1 (%2)").arg(address, rec.Country);
    if (!rec.Anonymity.isEmpty())
        tip += QStringLiteral(", ") + rec.Anonymity;
    return tip;
}

QString ProxyHost(const QString& proxy)
{
    const qsizetype colon = proxy.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : proxy.left(colon);
}

} // namespace

HidingPresenter::HidingPresenter(TSettings& settings, const TEngineServices& texts, TProxyManager& manager,
                                 FlagService& flags, QObject* parent)
    : QObject(parent), m_settings(settings), m_texts(texts), m_manager(manager), m_flags(flags)
{
    connect(&manager, &TProxyManager::listLoaded, this, &HidingPresenter::OnProxyListLoaded);
    connect(&manager, &TProxyManager::proxyChanged, this, &HidingPresenter::OnHide);
    connect(&manager, &TProxyManager::stopped, this, &HidingPresenter::OnStopHide);
    connect(&manager, &TProxyManager::progress, this, &HidingPresenter::OnTestProgress);
    connect(&manager, &TProxyManager::proxyVerified, this, &HidingPresenter::OnProxyVerified);
    connect(&manager, &TProxyManager::proxyCheckFailed, this, &HidingPresenter::OnProxyCheckFailed);
    connect(&manager, &TProxyManager::webBlocked, this, &HidingPresenter::OnWebBlocked);
    connect(&manager, &TProxyManager::routeProgress, this, [this](int percent) { OnRouteProgress(percent); });
    connect(&flags, &FlagService::localFlagReady, this, [this](const QImage& flag, FlagFill fill) {
        if (m_view)
            m_view->DrawLocalFlag(flag, fill);
    });
    connect(&flags, &FlagService::proxyFlagReady, this, [this](const QImage& flag, FlagFill fill) {
        if (m_view)
            m_view->DrawProxyFlag(flag, fill);
    });
}

void HidingPresenter::OnProxyListLoaded(TProxyManager* manager)
{
    if (!manager)
        return;
    try {
        // Kept per user even when the settings are shared: a list another user can write would let
        // that user choose this user's proxy.
        manager->SaveToFile(m_settings.UserFolder() + QStringLiteral("proxylist.lst"));
    } catch (const std::exception& e) {
        // The list is in memory and usable; only the cache for the next start is missing.
        qCWarning(lcHiding) << "cannot store the proxy list:" << e.what();
    }
    m_shownAddress = manager->LocalIP();
    // The search fetches a list now and then while the web is blocked; the own address must not show then, as if
    // the user browsed openly.
    if (m_view)
        m_view->ShowListReady(manager->Blocked() ? m_texts.LangText(QString::fromUtf8(MessageText::kWebBlockedTitle))
                                                 : m_shownAddress);
    m_flags.ShowLocalFlag(manager->LocalCountry(), manager->CountryFlag());
    // Hiding was on when the window last closed: it resumes with every list that arrives.
    if (m_view && m_settings.ReadBool(QStringLiteral("Hiding"), false))
        m_view->ResumeHiding();
}

bool HidingPresenter::OfferHidingWithoutList()
{
    if (!m_view || !m_manager.ExitRouteOn() || !m_manager.RawList().isEmpty() || m_manager.RouteActive())
        return false;
    m_view->ShowListReady(QString());
    if (m_settings.ReadBool(QStringLiteral("Hiding"), false))
        m_view->ResumeHiding();
    return true;
}

void HidingPresenter::OnTestProgress(int max, int current)
{
    if (m_view)
        m_view->ShowTestProgress(max, current, m_texts.LangText(QString::fromLatin1(MessageText::kTestProxy)));
}

void HidingPresenter::OnRouteProgress(int percent)
{
    const int done = qBound(0, percent, 100);
    if (m_view)
        m_view->ShowTestProgress(
            100, done,
            FormatArgs(m_texts.LangText(QString::fromUtf8(MessageText::kConnectingTor)), {QString::number(done)}));
}

void HidingPresenter::OnHide(const TProxyRec& rec)
{
    // A proxy applied again before a check has passed since its last one failed has still to show that it
    // works: the testing display ends, but the warning stays.
    const bool stillFailing = m_checkFailedShown && rec.Proxy == m_failedProxy;
    // Through Tor the applied proxy is tor's own port on this machine, which sites never see: the address shows
    // once the check through it has seen the exit.
    m_shownAddress = m_manager.RouteActive() ? QString() : ProxyHost(rec.Proxy);
    m_checkFailedShown = false;
    if (m_view)
        m_view->ShowHiding(m_shownAddress, HidingSentence(), HidingTip(m_shownAddress, rec));
    // Tor's exit country may be unknown until a check has seen the exit; the check then shows its flag.
    m_shownCountry = rec.Country;
    m_flags.ShowProxyFlag(rec.Country, rec.FlagUrl);
    if (stillFailing)
        ShowCheckFailed(rec.Proxy);
}

QString HidingPresenter::HidingSentence() const
{
    return FormatArgs(m_texts.LangText(QString::fromUtf8(MessageText::kHiding)), {m_manager.LocalIP()});
}

void HidingPresenter::ApplyProxyTestOptions()
{
    m_manager.SetTestTimeoutMs(qBound(1, m_settings.GetConstInt(QStringLiteral("Proxy.TestTimeout"), 15), 3600) * 1000);
    m_manager.SetFirstContactTimeoutMs(
        qBound(1, m_settings.GetConstInt(QStringLiteral("Proxy.FirstContactTimeout"), 8), 3600) * 1000);
    m_manager.SetPassValidityMs(qint64(qMax(0, m_settings.GetConstInt(QStringLiteral("Proxy.PassValidity"), 300))) *
                                1000);
    // Secure pages go through the proxy only while the user hides them; only then must it tunnel them.
    const bool https = m_settings.ReadBool(QStringLiteral("HideHttps"), true);
    m_manager.SetTunnelUrl(https ? m_settings.GetConst(QStringLiteral("URL.TUNNELTEST")) : QString());
    m_manager.SwitchExitRoute(m_settings.ReadBool(QStringLiteral("UseTor"), false));
    m_manager.SetLeakCheck(true,
                           qBound(1, m_settings.GetConstInt(QStringLiteral("Proxy.CheckInterval"), 60), 86400) * 1000);
}

void HidingPresenter::OnProxyVerified(const TProxyRec& rec, const QString& seenAddress)
{
    const bool recovered = m_checkFailedShown;
    m_checkFailedShown = false;
    if (!seenAddress.isEmpty()) {
        m_shownAddress = seenAddress;
    } else if (recovered) {
        // The own address shows since the failed check; the proxy's host is the best guess left.
        m_shownAddress = ProxyHost(rec.Proxy);
    }
    if (m_view)
        m_view->ShowSeenAddress(m_shownAddress, HidingSentence(), HidingTip(m_shownAddress, rec));
    // Tor's exit, and so its country, may change between checks.
    if (recovered || (rec.Country != m_shownCountry && !rec.Country.isEmpty())) {
        m_shownCountry = rec.Country;
        m_flags.ShowProxyFlag(rec.Country, rec.FlagUrl);
    }
    qCInfo(lcHiding).noquote() << "web sites see" << m_shownAddress << "through" << rec.Proxy << rec.Anonymity;
}

void HidingPresenter::OnProxyCheckFailed(const QString& proxy)
{
    qCWarning(lcHiding).noquote() << "the applied proxy" << proxy << "failed its check";
    ShowCheckFailed(proxy);
}

void HidingPresenter::ShowCheckFailed(const QString& proxy)
{
    // The browsers still point at the proxy, but it may show the sites the user's own address, or carry
    // nothing: the window must not say that the user hides. Hiding stays on while another proxy is sought.
    m_checkFailedShown = true;
    m_failedProxy = proxy;
    m_shownAddress = m_manager.LocalIP();
    if (m_view)
        m_view->ShowProxyFailing(m_shownAddress, m_texts.LangText(QString::fromUtf8(MessageText::kNotHiding)),
                                 QStringLiteral("Veilport"));
}

void HidingPresenter::OnWebBlocked()
{
    qCWarning(lcHiding) << "no working proxy is left: the web is blocked";
    m_checkFailedShown = false;
    if (m_view)
        m_view->ShowWebBlocked(m_texts.LangText(QString::fromUtf8(MessageText::kWebBlockedTitle)),
                               m_texts.LangText(QString::fromUtf8(MessageText::kStillLooking)),
                               m_texts.LangText(QString::fromUtf8(MessageText::kWebBlocked)));
}

void HidingPresenter::OnStopHide()
{
    m_checkFailedShown = false;
    m_shownAddress = m_manager.LocalIP();
    if (m_view)
        m_view->ShowNotHiding(m_shownAddress, m_texts.LangText(QString::fromUtf8(MessageText::kNotHiding)),
                              QStringLiteral("Veilport"));
}
