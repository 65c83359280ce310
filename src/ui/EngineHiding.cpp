// The engine window's side of hiding: what the main window is told to show while the proxy manager
// loads lists, tests proxies, applies one and takes it away again, and the flags of both countries.
#include "ui/TfrmEngineWnd.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "net/THTTPGet.h"
#include "proxy/TProxyManager.h"
#include "ui/FlagCache.h"
#include "ui/IMainView.h"
#include "util/SPTools.h"

#include <QFileInfo>
#include <QLoggingCategory>

#include <exception>

namespace {

Q_LOGGING_CATEGORY(lcHiding, "veilport.hiding")

QString FlagFile(const QString& country)
{
    // Per user in either settings mode, like the proxy list below.
    return FlagCachePath(Settings() ? Settings()->UserFolder() : QString(), country, QStringLiteral("_small.png"));
}

THTTPGet* MakeFlagFetcher(QObject* owner, const char* name)
{
    auto* fetcher = new THTTPGet(owner);
    fetcher->setObjectName(QString::fromLatin1(name));
    fetcher->SetBinaryData(true);
    fetcher->SetUseCache(false);
    fetcher->SetWaitThread(false);
    // A fetch that failed leaves only its download behind, never a cache file.
    QObject::connect(fetcher, &THTTPGet::OnError, fetcher, [](THTTPGet* sender) { QFile::remove(sender->FileName()); });
    return fetcher;
}

// The tray's hint while hiding: the address the web sees, the proxy's country and how well it hides.
QString HidingTip(const QString& address, const TProxyRec& rec)
{
    QString tip = QStringLiteral("Veilport\n%1 (%2)").arg(address, rec.Country);
    if (!rec.Anonymity.isEmpty())
        tip += QStringLiteral(", ") + rec.Anonymity;
    return tip;
}

} // namespace

void TfrmEngineWnd::OnProxyListLoaded(TProxyManager* manager)
{
    if (!manager)
        return;
    if (Settings()) {
        try {
            // Kept per user even when the settings are shared: a list another user can write would let
            // that user choose this user's proxy.
            manager->SaveToFile(Settings()->UserFolder() + QStringLiteral("proxylist.lst"));
        } catch (const std::exception& e) {
            // The list is in memory and usable; only the cache for the next start is missing.
            qCWarning(lcHiding) << "cannot store the proxy list:" << e.what();
        }
    }
    m_shownAddress = manager->LocalIP();
    if (m_view)
        m_view->ShowListReady(m_shownAddress);
    ShowLocalFlag(manager->LocalCountry(), manager->CountryFlag());
    // Hiding was on when the window last closed: it resumes with every list that arrives.
    if (m_view && Settings() && Settings()->ReadBool(QStringLiteral("Hiding"), false))
        m_view->ResumeHiding();
}

void TfrmEngineWnd::OnTestProgress(int max, int current)
{
    if (m_view)
        m_view->ShowTestProgress(max, current, LangText(QString::fromLatin1(MessageText::kTestProxy)));
}

void TfrmEngineWnd::OnHide(const TProxyRec& rec)
{
    // A proxy applied again before a check has passed since its last one failed has still to show that it
    // works: the testing display ends, but the warning stays.
    const bool stillFailing = m_checkFailedShown && rec.Proxy == m_failedProxy;
    const qsizetype colon = rec.Proxy.indexOf(QLatin1Char(':'));
    m_shownAddress = colon < 0 ? QString() : rec.Proxy.left(colon);
    m_checkFailedShown = false;
    if (m_view)
        m_view->ShowHiding(m_shownAddress, HidingSentence(), HidingTip(m_shownAddress, rec));
    ShowProxyFlag(rec.Country, rec.FlagUrl);
    if (stillFailing)
        ShowCheckFailed(rec.Proxy);
}

QString TfrmEngineWnd::HidingSentence() const
{
    return FormatArgs(LangText(QString::fromUtf8(MessageText::kHiding)),
                      {ProxyManager ? ProxyManager->LocalIP() : QString()});
}

void TfrmEngineWnd::ApplyProxyTestOptions()
{
    TSettings* settings = Settings();
    if (!ProxyManager || !settings)
        return;
    ProxyManager->SetTestTimeoutMs(qBound(1, settings->GetConstInt(QStringLiteral("Proxy.TestTimeout"), 15), 3600) *
                                   1000);
    ProxyManager->SetPassValidityMs(qint64(qMax(0, settings->GetConstInt(QStringLiteral("Proxy.PassValidity"), 300))) *
                                    1000);
    // Secure pages go through the proxy only while the user hides them; only then must it tunnel them.
    const bool https = settings->ReadBool(QStringLiteral("HideHttps"), true);
    ProxyManager->SetTunnelUrl(https ? settings->GetConst(QStringLiteral("URL.TUNNELTEST")) : QString());
    ProxyManager->SetLeakCheck(
        true, qBound(1, settings->GetConstInt(QStringLiteral("Proxy.CheckInterval"), 60), 86400) * 1000);
}

void TfrmEngineWnd::OnProxyVerified(const TProxyRec& rec, const QString& seenAddress)
{
    const bool recovered = m_checkFailedShown;
    m_checkFailedShown = false;
    if (!seenAddress.isEmpty()) {
        m_shownAddress = seenAddress;
    } else if (recovered) {
        // The own address shows since the failed check; the proxy's host is the best guess left.
        const qsizetype colon = rec.Proxy.indexOf(QLatin1Char(':'));
        m_shownAddress = colon < 0 ? QString() : rec.Proxy.left(colon);
    }
    if (m_view)
        m_view->ShowSeenAddress(m_shownAddress, HidingSentence(), HidingTip(m_shownAddress, rec));
    if (recovered)
        ShowProxyFlag(rec.Country, rec.FlagUrl);
    qCInfo(lcHiding).noquote() << "web sites see" << m_shownAddress << "through" << rec.Proxy << rec.Anonymity;
}

void TfrmEngineWnd::OnProxyCheckFailed(const QString& proxy)
{
    qCWarning(lcHiding).noquote() << "the applied proxy" << proxy << "failed its check";
    ShowCheckFailed(proxy);
}

void TfrmEngineWnd::ShowCheckFailed(const QString& proxy)
{
    // The browsers still point at the proxy, but it may show the sites the user's own address, or carry
    // nothing: the window must not say that the user hides. Hiding stays on while another proxy is sought.
    m_checkFailedShown = true;
    m_failedProxy = proxy;
    m_shownAddress = ProxyManager ? ProxyManager->LocalIP() : QString();
    if (m_view)
        m_view->ShowProxyFailing(m_shownAddress, LangText(QString::fromUtf8(MessageText::kNotHiding)),
                                 QStringLiteral("Veilport"));
}

void TfrmEngineWnd::OnStopHide()
{
    m_checkFailedShown = false;
    m_shownAddress = ProxyManager ? ProxyManager->LocalIP() : QString();
    if (m_view)
        m_view->ShowNotHiding(m_shownAddress, LangText(QString::fromUtf8(MessageText::kNotHiding)),
                              QStringLiteral("Veilport"));
}

bool TfrmEngineWnd::LoadCachedFlag(const QString& file)
{
    FlagImage = CachedFlagImage(file);
    return !FlagImage.isNull();
}

void TfrmEngineWnd::ShowLocalFlag(const QString& country, const QString& url)
{
    const QString file = FlagFile(country);
    if (LoadCachedFlag(file)) {
        if (m_view)
            m_view->DrawLocalFlag(FlagImage, FlagFill::FlagRect);
        return;
    }
    if (!hglocal) {
        hglocal = MakeFlagFetcher(this, "hglocal");
        connect(hglocal, &THTTPGet::OnDoneFile, this, &TfrmEngineWnd::hglocalDoneFile);
    }
    hglocal->SetFileName(FlagDownloadFile(file, QStringLiteral("hglocal")));
    hglocal->SetURL(url);
    hglocal->GetFile();
}

void TfrmEngineWnd::ShowProxyFlag(const QString& country, const QString& url)
{
    const QString file = FlagFile(country);
    if (LoadCachedFlag(file)) {
        if (m_view)
            m_view->DrawProxyFlag(FlagImage, FlagFill::FlagRect);
        return;
    }
    if (!hgFlag) {
        hgFlag = MakeFlagFetcher(this, "hgFlag");
        connect(hgFlag, &THTTPGet::OnDoneFile, this, &TfrmEngineWnd::hgFlagDoneFile);
    }
    hgFlag->SetFileName(FlagDownloadFile(file, QStringLiteral("hgFlag")));
    hgFlag->SetURL(url);
    hgFlag->GetFile();
}

void TfrmEngineWnd::hglocalDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize)
{
    FlagImage = StoreFlagDownload(fileName, sender->HttpStatus());
    if (m_view)
        m_view->DrawLocalFlag(FlagImage, FlagFill::None);
}

void TfrmEngineWnd::hgFlagDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize)
{
    FlagImage = StoreFlagDownload(fileName, sender->HttpStatus());
    if (m_view)
        m_view->DrawProxyFlag(FlagImage, FlagFill::WholeCanvas);
}
