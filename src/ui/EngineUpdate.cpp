// The engine window's service requests and update check. The logic lives in the net library
// (ServiceRequests, TUpdateCheck); the window supplies its settings, message box and browser.

#include "ui/TfrmEngineWnd.h"

#include "config/TSettings.h"
#include "net/ServiceRequests.h"
#include "net/TIEDownload.h"
#include "net/TUpdateCheck.h"
#include "platform/SystemInfo.h"

void TfrmEngineWnd::EnsureUpdateCheck()
{
    if (m_updateCheck || !Settings())
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
                                   Settings()->GetConst(QStringLiteral("URL.SiteHost")).trimmed());
    m_updateCheck = new TUpdateCheck(*iedNetConnection, *Settings(), *this, this);
    m_updateCheck->SetOpenUrl([this](const QString& url) { OpenUrl(url); });
}

void TfrmEngineWnd::SetSystemInfo(std::unique_ptr<platform::SystemInfo> systemInfo)
{
    m_systemInfo = std::move(systemInfo);
}

QString TfrmEngineWnd::BuildQueryString() const
{
    if (!Settings())
        return QString();
    if (m_systemInfo)
        return ::BuildQueryString(*Settings(), *m_systemInfo);
    return ::BuildQueryString(*Settings(), platform::LinuxSystemInfo());
}

QString TfrmEngineWnd::BuildSiteUrl(const QString& key, bool withQuery) const
{
    if (!Settings())
        return QString();
    return ::BuildSiteUrl(*Settings(), BuildQueryString(), key, withQuery);
}

void TfrmEngineWnd::OpenSitePage(const QString& key, int position)
{
    if (!Settings())
        return;
    OpenUrl(SitePageUrl(*Settings(), BuildQueryString(), key, position));
}

void TfrmEngineWnd::CheckForUpdate(bool manual)
{
    EnsureUpdateCheck();
    if (m_updateCheck)
        m_updateCheck->CheckForUpdate(manual, UpdateRequestUrl(*Settings(), BuildQueryString()));
}

void TfrmEngineWnd::AutoCheckForUpdate()
{
    EnsureUpdateCheck();
    if (m_updateCheck)
        m_updateCheck->AutoCheckForUpdate(UpdateRequestUrl(*Settings(), BuildQueryString()));
}

void TfrmEngineWnd::iedNetConnectionComplete(TIEDownload* sender, const QByteArray& stream, int result)
{
    EnsureUpdateCheck();
    if (m_updateCheck)
        m_updateCheck->iedNetConnectionComplete(sender, stream, result);
}

bool TfrmEngineWnd::UpdateManual() const
{
    return m_updateCheck && m_updateCheck->UpdateManual();
}

bool TfrmEngineWnd::UpdateBusy() const
{
    return m_updateCheck && m_updateCheck->UpdateBusy();
}
