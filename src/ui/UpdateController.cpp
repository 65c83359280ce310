#include "ui/UpdateController.h"

#include "config/TSettings.h"
#include "net/ServiceRequests.h"
#include "net/TIEDownload.h"
#include "net/TUpdateCheck.h"
#include "platform/SystemInfo.h"

UpdateController::UpdateController(TSettings& settings, TEngineServices& services,
                                   std::function<void(const QString&)> openUrl, QObject* parent)
    : QObject(parent), m_settings(settings), m_services(services), m_openUrl(std::move(openUrl))
{
}

UpdateController::~UpdateController() = default;

void UpdateController::EnsureUpdateCheck()
{
    if (m_updateCheck)
        return;
    if (!m_systemInfo)
        m_systemInfo = std::make_unique<platform::LinuxSystemInfo>();
    iedNetConnection = new TIEDownload(this);
    iedNetConnection->SetAdditionalHeader({QStringLiteral("Content-Type: application/x-www-form-urlencoded")});
    iedNetConnection->SetDefaultProtocol(QStringLiteral("http://"));
    iedNetConnection->SetDefaultUrlFileName(QStringLiteral("index.html"));
    iedNetConnection->SetOptions(TIEDownload::Asynchronous | TIEDownload::AsyncStorage | TIEDownload::GetNewestVersion |
                                 TIEDownload::SilentOperation);
    iedNetConnection->SetTimeOut(5000);
    iedNetConnection->SetUserAgent(QStringLiteral("App from: http://") +
                                   m_settings.GetConst(QStringLiteral("URL.SiteHost")).trimmed());
    m_updateCheck = new TUpdateCheck(*iedNetConnection, m_settings, m_services, this);
    m_updateCheck->SetOpenUrl(m_openUrl);
}

void UpdateController::SetSystemInfo(std::unique_ptr<platform::SystemInfo> systemInfo)
{
    m_systemInfo = std::move(systemInfo);
}

QString UpdateController::BuildQueryString() const
{
    if (m_systemInfo)
        return ::BuildQueryString(m_settings, *m_systemInfo);
    return ::BuildQueryString(m_settings, platform::LinuxSystemInfo());
}

QString UpdateController::BuildSiteUrl(const QString& key, bool withQuery) const
{
    return ::BuildSiteUrl(m_settings, BuildQueryString(), key, withQuery);
}

void UpdateController::OpenSitePage(const QString& key, int position)
{
    if (m_openUrl)
        m_openUrl(SitePageUrl(m_settings, BuildQueryString(), key, position));
}

void UpdateController::CheckForUpdate(bool manual)
{
    EnsureUpdateCheck();
    m_updateCheck->CheckForUpdate(manual, UpdateRequestUrl(m_settings, BuildQueryString()));
}

void UpdateController::AutoCheckForUpdate()
{
    EnsureUpdateCheck();
    m_updateCheck->AutoCheckForUpdate(UpdateRequestUrl(m_settings, BuildQueryString()));
}

void UpdateController::iedNetConnectionComplete(TIEDownload* sender, const QByteArray& stream, int result)
{
    EnsureUpdateCheck();
    m_updateCheck->iedNetConnectionComplete(sender, stream, result);
}

bool UpdateController::UpdateManual() const
{
    return m_updateCheck && m_updateCheck->UpdateManual();
}

bool UpdateController::UpdateBusy() const
{
    return m_updateCheck && m_updateCheck->UpdateBusy();
}
