// The main window's commands, its quick settings, the automatic IP change and the flag of the
// chosen country.
#include "ui/TfrmMainForm.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "net/ServiceRequests.h"
#include "net/THTTPGet.h"
#include "browsers/DesktopBrowsers.h"
#include "browsers/TCookieClearReport.h"
#include "proxy/TProxyManager.h"
#include "ui/ApplicationServices.h"
#include "ui/CompanionNotice.h"
#include "ui/FlagCache.h"
#include "ui/InfoPageView.h"
#include "i18n/TLanguageEngine.h"
#include "i18n/TSkinEngine.h"
#include "ui/LanguageMenu.h"
#include "ui/SettingsWriteGuard.h"
#include "ui/SkinMenu.h"
#include "ui/TLocalisation.h"
#include "ui/TfrmAboutForm.h"
#include "ui/TfrmChooseIP.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmOptionForm.h"
#include "ui/WindowTimer.h"
#include "util/SPTools.h"

#include <QAction>
#include <QPointer>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include <exception>

namespace {
constexpr int kCookieNoticeId = 30;
constexpr int kDefaultMinutes = 10;
constexpr int kMinuteMs = 60000;
} // namespace

void TfrmMainForm::SetHideAction(QAction* action)
{
    m_hideAction = action;
    RefreshHideControls();
}

void TfrmMainForm::RefreshHideControls()
{
    if (!m_hideAction)
        return;
    btnHide->setText(m_hideAction->text());
    btnHide->setEnabled(m_hideAction->isEnabled());
    miHide->setText(m_hideAction->text());
    miHide->setEnabled(m_hideAction->isEnabled());
}

void TfrmMainForm::acVuvaVIExecute()
{
    SetHideAction(acStopHide);
    if (TProxyManager* manager = Manager())
        manager->StartHide();
}

void TfrmMainForm::acStopHideExecute()
{
    SetHideAction(acVuvaVI);
    TProxyManager* manager = Manager();
    if (!manager)
        return;
    try {
        manager->StopHide();
    } catch (const std::exception& e) {
        // A browser file that cannot be written ends the step; the user learns which one.
        m_engine.ShowMessageBox(QString::fromStdString(e.what()), {}, 0, TEngineServices::mtError,
                                TEngineServices::mbOK, 0);
    }
}

void TfrmMainForm::acClearCookieExecute()
{
    // The companions answer later; the window stays responsive meanwhile and the user is told what
    // was cleared where once all have answered.
    QPointer<TfrmMainForm> self(this);
    m_engine.Browsers().routines().ClearBrowserCookies([self](const TCookieClearReport& report) {
        if (!self)
            return;
        const bool complete =
            report.anythingCleared() && report.companionsFailed.isEmpty() && report.profilesSkipped.isEmpty();
        // Only a notice of full success may be silenced; a failure is always shown.
        self->m_engine.ShowMessageBox(
            CookieClearNotice(self->m_engine.Services(), report), {}, complete ? kCookieNoticeId : 0,
            complete ? TEngineServices::mtInformation : TEngineServices::mtWarning, TEngineServices::mbOK, 0);
    });
}

void TfrmMainForm::acCheckIPExecute()
{
    m_engine.OpenUrl(m_settings.GetConst(QStringLiteral("URL.IPSEEKER")));
}

void TfrmMainForm::acCheckWhatSitesSeeExecute()
{
    // The page compares the address it sees with the own one, so it can tell whether hiding works.
    const TProxyManager* manager = Manager();
    const QString url = CheckPageUrl(m_settings, m_engine.BuildQueryString(), manager ? manager->LocalIP() : QString());
    if (!url.isEmpty())
        m_engine.OpenUrl(url);
}

void TfrmMainForm::acOptionExecute()
{
    TOptionFormServices services;
    services.SetAutoRun = [this](bool enable) { m_engine.SetAutoRun(enable); };
    // Posted, not called: the restart runs from the main loop once the dialog's own loop has ended.
    services.PostAllUsersRestart = [this](bool allUsers) { m_engine.PostAllUsersRestart(allUsers); };
    services.Routines = &m_engine.Browsers().routines();
    TfrmOptionForm options(m_settings, m_engine.Services(), this, std::move(services));
    if (options.exec() == QDialog::Accepted) {
        m_engine.ApplyProxyTestOptions();
        m_engine.OfferHidingWithoutList();
    }
}

void TfrmMainForm::actChooseIPExecute()
{
    TProxyManager* manager = Manager();
    if (!manager)
        return;
    TfrmChooseIP dialog(*manager, CacheFolder(), m_settings.GetConst(QStringLiteral("URL.ServiceHost")),
                        m_settings.GetConst(QStringLiteral("URL.SiteHost")), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    TfrmChooseIP::ApplyChoice(*manager, dialog.SelectedCountry(), m_engine.Services(), m_engine.WriteGuard());
    lblIPCountry->setText(manager->Country());
    ShowCountryFlag();
}

void TfrmMainForm::acAboutExecute()
{
    TfrmAboutForm about(m_settings.GetConst(QStringLiteral("App.Ver")), m_engine.Services(), this);
    about.exec();
}

void TfrmMainForm::acAlwaysOnTopExecute()
{
    SetStayOnTop(!StayOnTop);
}

void TfrmMainForm::acHelpExecute()
{
    m_engine.OpenSitePage(QStringLiteral("help"), 0);
}

void TfrmMainForm::acHomeExecute()
{
    m_engine.OpenSitePage(QStringLiteral("home"), 0);
}

void TfrmMainForm::acUpdateExecute()
{
    m_engine.CheckForUpdate(true);
}

void TfrmMainForm::acExitExecute()
{
    acStopHide->trigger();
    ExitRequested = true;
    close();
}

void TfrmMainForm::acSetupBrowserExecute()
{
    // The host is registered at every start, so a moved program folder is followed; Firefox is
    // offered the companion once.
    TBrowserRoutines& routines = m_engine.Browsers().routines();
    routines.RegisterCompanionHost();
    if (m_settings.ReadBool(QStringLiteral("SETUPFF"), true))
        routines.InstallFirefoxExtension();
    m_engine.WriteGuard()([](TSettings& store) { store.WriteBool(QStringLiteral("SETUPFF"), false); });
}

int TfrmMainForm::ChangeIPMinutes() const
{
    return SafeStrToInt(edtChangeIPTime->text(), kDefaultMinutes);
}

void TfrmMainForm::cbChangeIPClick()
{
    if (TProxyManager* manager = Manager())
        manager->SwitchAutoChange(cbChangeIP->isChecked());
    tmChangeIP->SetInterval(ChangeIPMinutes() * kMinuteMs);
    tmChangeIP->SetEnabled(cbChangeIP->isChecked());
}

void TfrmMainForm::edtChangeIPTimeChange()
{
    if (cbChangeIP->isChecked()) {
        tmChangeIP->SetInterval(ChangeIPMinutes() * kMinuteMs);
        if (TProxyManager* manager = Manager())
            manager->SetChangeInterval(ChangeIPMinutes());
    }
    tmChangeIP->SetEnabled(cbChangeIP->isChecked());
}

void TfrmMainForm::cbClearCookieClick()
{
    if (TProxyManager* manager = Manager())
        manager->SwitchClearCookiesOnChange(cbClearCookie->isChecked());
}

void TfrmMainForm::tmChangeIPTimer()
{
    TProxyManager* manager = Manager();
    if (!manager)
        return;
    try {
        manager->ChangeIP();
    } catch (const std::exception& e) {
        m_engine.ShowMessageBox(QString::fromStdString(e.what()), {}, 0, TEngineServices::mtError,
                                TEngineServices::mbOK, 0);
    }
}

void TfrmMainForm::tmProgressTimer()
{
    sgTesting->setValue(qMin(sgTesting->value() + 3, sgTesting->maximum()));
    sgTesting->show();
}

void TfrmMainForm::LoadQuickSettings()
{
    ExitRequested = false;
    const QString minutes = m_settings.ReadString(QStringLiteral("ChangeIPTime"), QStringLiteral("10"));
    // The field holds whole minutes; a stored text that is not a number counts as 10.
    edtChangeIPTime->setValue(SafeStrToInt(minutes, kDefaultMinutes));
    cbChangeIP->setChecked(m_settings.ReadBool(QStringLiteral("ChangeIP"), false));
    cbChangeIPClick();
    cbClearCookie->setChecked(m_settings.ReadBool(QStringLiteral("ChearCookieWhenIPChanges"), false));
    cbClearCookieClick();
    const QString info = m_settings.GetConst(QStringLiteral("URL.InfoURL"));
    if (!info.isEmpty())
        OpenInfoPage(info + QLatin1Char('?') + m_engine.BuildQueryString());
}

void TfrmMainForm::SaveQuickSettings()
{
    // An unwritable settings folder must not keep the window from closing.
    m_engine.WriteGuard()([this](TSettings& settings) {
        settings.WriteBool(QStringLiteral("ChangeIP"), cbChangeIP->isChecked());
        settings.WriteBool(QStringLiteral("ChearCookieWhenIPChanges"), cbClearCookie->isChecked());
        settings.WriteString(QStringLiteral("ChangeIPTime"), edtChangeIPTime->text());
        settings.WriteBool(QStringLiteral("Hiding"), m_hideAction == acStopHide);
    });
}

void TfrmMainForm::FormShow()
{
    RestoreWindowPosition();
    m_engine.SetSkin(m_settings.ReadString(QStringLiteral("Skin"), QStringLiteral("Default")));
    if (m_settings.ReadBool(QStringLiteral("FirstTimeRun"), true))
        m_engine.WriteGuard()([](TSettings& store) { store.WriteBool(QStringLiteral("FirstTimeRun"), false); });
    m_engine.AutoCheckForUpdate();
    FirstShowDone = true;
    TProxyManager* manager = Manager();
    if (manager) {
        // Through Tor, hiding needs no list; one that arrives later still brings the own address and flags.
        if (!manager->LoadFromFile(CacheFolder() + QStringLiteral("proxylist.lst")) &&
            !m_engine.OfferHidingWithoutList()) {
            wbMain->hide();
            tmProgress->SetEnabled(true);
            lblProgressText->setText(m_engine.LangText(QString::fromLatin1(MessageText::kDownloadingProxyList)));
            lblProgressText->show();
        }
        QString url = m_settings.GetConst(QStringLiteral("URL.GETPROXY"));
        url += QLatin1Char('?') + m_engine.BuildQueryString();
        manager->DownloadProxyList(url);
    }
    FillSkinAndLanguageMenus();
}

void TfrmMainForm::FillSkinAndLanguageMenus()
{
    TLocalisation* localisation = Localisation();
    if (!localisation)
        return;
    if (!m_skinMenu) {
        m_skinMenu = new SkinMenu(miSkin, localisation->Skin(), this);
        m_skinMenu->Fill();
    }
    if (!m_languageMenu) {
        m_languageMenu = new LanguageMenu(miLanguage, localisation->Language(), this);
        m_languageMenu->Fill();
    }
}

void TfrmMainForm::ShowCountryFlag()
{
    TProxyManager* manager = Manager();
    if (!manager)
        return;
    const QString host = m_settings.GetConst(QStringLiteral("URL.ServiceHost"));
    QString stem;
    QString url;
    if (manager->Country() == kAutoSelected) {
        stem = QStringLiteral("un");
        url = QStringLiteral("http://") + host + QStringLiteral("/tpl/images/flag_small/un.png");
    } else {
        stem = manager->Country();
        TProxyRec rec;
        if (manager->FindProxyByCountry(manager->Country(), rec))
            url = QStringLiteral("http://") + host + QStringLiteral("/tpl/images/flag_small/") + manager->Country() +
                  QStringLiteral(".png");
    }
    const QString file = FlagCachePath(CacheFolder(), stem, QStringLiteral("_small.png"));
    if (!CachedFlagImage(file).isNull()) {
        DrawCountryFlag(file);
        return;
    }
    if (!m_hgIPCountry) {
        m_hgIPCountry = std::make_unique<THTTPGet>();
        m_hgIPCountry->SetBinaryData(true);
        m_hgIPCountry->SetUseCache(false);
        m_hgIPCountry->SetWaitThread(false);
        connect(m_hgIPCountry.get(), &THTTPGet::OnDoneFile, this,
                [this](THTTPGet*, const QString& fileName, qint64) { hgIPCountryDoneFile(fileName); });
        connect(m_hgIPCountry.get(), &THTTPGet::OnError, this,
                [](THTTPGet* sender) { QFile::remove(sender->FileName()); });
    }
    // A request made while the previous one still runs is dropped; the next change of country asks again.
    if (m_hgIPCountry->Busy())
        return;
    m_hgIPCountry->SetFileName(FlagDownloadFile(file, QStringLiteral("hgIPCountry")));
    m_hgIPCountry->SetURL(url);
    m_hgIPCountry->GetFile();
}

void TfrmMainForm::hgIPCountryDoneFile(const QString& fileName)
{
    m_countryFlagImage = StoreFlagDownload(fileName, m_hgIPCountry ? m_hgIPCountry->HttpStatus() : 0);
    DrawFlagInto(imgFL, m_countryFlagImage, FlagFill::FlagRect);
}

void TfrmMainForm::DrawCountryFlag(const QString& fileName)
{
    m_countryFlagImage = LoadFlagImage(fileName);
    DrawFlagInto(imgFL, m_countryFlagImage, FlagFill::FlagRect);
}

TProxyManager* TfrmMainForm::Manager() const
{
    return m_engine.ProxyManager();
}

QString TfrmMainForm::CacheFolder() const
{
    // The proxy list and the flags are cached per user even when the settings are shared: another user
    // who could write them would choose this user's proxy.
    return m_settings.UserFolder();
}
