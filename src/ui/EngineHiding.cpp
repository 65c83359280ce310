// The engine window's side of hiding: what the main window shows while the proxy manager loads
// lists, tests proxies, applies one and takes it away again, and the flags of both countries.
#include "ui/TfrmEngineWnd.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "net/THTTPGet.h"
#include "proxy/TProxyManager.h"
#include "ui/FlagCache.h"
#include "ui/TfrmMainForm.h"
#include "ui/WindowTimer.h"
#include "util/SPTools.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QLoggingCategory>
#include <QProgressBar>
#include <QSystemTrayIcon>

#include <exception>

namespace {

Q_LOGGING_CATEGORY(lcHiding, "veilport.hiding")

// The flag boxes' places: the first line shows the flag of the address the web sees.
constexpr int kFlagLeft = 88;
constexpr int kFirstLineTop = 16;
constexpr int kSecondLineTop = 37;
constexpr int kOutOfSightTop = 375;

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
    TfrmMainForm* form = frmMainForm;
    if (form) {
        form->wbMain->show();
        form->tmProgress->SetEnabled(false);
        form->sgTesting->hide();
        form->lblProgressText->hide();
        form->lbIP->setText(manager->LocalIP);
    }
    ShowLocalFlag(manager->LocalCountry, manager->CountryFlag);
    if (!form)
        return;
    form->acVuvaVI->setEnabled(true);
    // Hiding was on when the window last closed: it resumes with every list that arrives.
    if (Settings() && Settings()->ReadBool(QStringLiteral("Hiding"), false))
        form->acVuvaVI->trigger();
}

void TfrmEngineWnd::OnTestProgress(int max, int current)
{
    TfrmMainForm* form = frmMainForm;
    if (!form)
        return;
    const bool running = current < max;
    form->wbMain->setVisible(current == max);
    form->tmProgress->SetEnabled(running);
    // The gauge counts in thousandths of a proxy so that the timer can creep on between results.
    // A range of 0 to 0 would turn the bar into a busy indicator; an empty run keeps a plain empty bar.
    form->sgTesting->setRange(0, qMax(1, qBound(0, max, TProxyManager::kMaxProxyCount) * 1000));
    form->sgTesting->setValue(qBound(0, current, TProxyManager::kMaxProxyCount) * 1000);
    form->lblProgressText->setText(LangText(QString::fromLatin1(MessageText::kTestProxy)));
    form->lblProgressText->setVisible(running);
}

void TfrmEngineWnd::OnHide(const TProxyRec& rec)
{
    TfrmMainForm* form = frmMainForm;
    if (form) {
        form->imgLocal->move(kFlagLeft, kSecondLineTop);
        form->imgFlag->move(kFlagLeft, kFirstLineTop);
        form->SetHideAction(form->acStopHide);
        form->imgFlag->show();
    }
    ShowProxyFlag(rec.Country, rec.FlagUrl);
    if (!form)
        return;
    form->lbHidingInfo->setText(FormatArgs(LangText(QString::fromUtf8(MessageText::kHiding)),
                                           {ProxyManager ? ProxyManager->LocalIP : QString()}));
    const qsizetype colon = rec.Proxy.indexOf(QLatin1Char(':'));
    form->lbIP->setText(colon < 0 ? QString() : rec.Proxy.left(colon));
    if (form->spTrayIcon)
        form->spTrayIcon->setToolTip(HidingTip(form->lbIP->text(), rec));
    form->tmProgress->SetEnabled(false);
    form->lblProgressText->setText(QString());
    form->sgTesting->hide();
    form->wbMain->show();
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
    TfrmMainForm* form = frmMainForm;
    if (!form)
        return;
    if (!seenAddress.isEmpty())
        form->lbIP->setText(seenAddress);
    const QString shown = form->lbIP->text();
    if (form->spTrayIcon)
        form->spTrayIcon->setToolTip(HidingTip(shown, rec));
    qCInfo(lcHiding).noquote() << "web sites see" << shown << "through" << rec.Proxy << rec.Anonymity;
}

void TfrmEngineWnd::OnStopHide()
{
    TfrmMainForm* form = frmMainForm;
    if (!form)
        return;
    // The gauge and the progress text are left alone: a run stopped half-way lets the bar run out.
    form->imgLocal->move(kFlagLeft, kFirstLineTop);
    form->imgFlag->move(kFlagLeft, kOutOfSightTop);
    form->SetHideAction(form->acVuvaVI);
    form->imgFlag->hide();
    form->lbHidingInfo->setText(LangText(QString::fromUtf8(MessageText::kNotHiding)));
    if (form->spTrayIcon)
        form->spTrayIcon->setToolTip(QStringLiteral("Veilport"));
    form->lbIP->setText(ProxyManager ? ProxyManager->LocalIP : QString());
    form->wbMain->show();
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
        if (frmMainForm)
            DrawFlagInto(frmMainForm->imgLocal, FlagImage, FlagFill::FlagRect);
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
        if (frmMainForm)
            DrawFlagInto(frmMainForm->imgFlag, FlagImage, FlagFill::FlagRect);
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
    if (frmMainForm)
        DrawFlagInto(frmMainForm->imgLocal, FlagImage, FlagFill::None);
}

void TfrmEngineWnd::hgFlagDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize)
{
    FlagImage = StoreFlagDownload(fileName, sender->HttpStatus());
    if (frmMainForm)
        DrawFlagInto(frmMainForm->imgFlag, FlagImage, FlagFill::WholeCanvas);
}
