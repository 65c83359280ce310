#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class TEngineServices;
class TIEDownload;
class TSettings;
class TUpdateCheck;

namespace platform {
class SystemInfo;
} // namespace platform

// Service requests and the update check. The logic lives in the net library (ServiceRequests,
// TUpdateCheck); this supplies the settings, the message box and the browser.
class UpdateController : public QObject
{
    Q_OBJECT

public:
    // openUrl opens an address in the user's browser; settings and services must outlive this object.
    UpdateController(TSettings& settings, TEngineServices& services, std::function<void(const QString&)> openUrl,
                     QObject* parent = nullptr);
    ~UpdateController() override;

    // The common query string every service address carries.
    QString BuildQueryString() const;
    // The address of site page key ("help", "home"), with the query string when withQuery is set.
    QString BuildSiteUrl(const QString& key, bool withQuery) const;
    // Opens site page key in the browser, telling the site the place it was opened from.
    void OpenSitePage(const QString& key, int position);
    // Asks the service for a newer version; manual: the user asked, so every outcome is reported.
    void CheckForUpdate(bool manual);
    // The daily automatic check, at the main window's first showing.
    void AutoCheckForUpdate();
    // Completion of iedNetConnection (the update request): the body and the channel's result code.
    void iedNetConnectionComplete(TIEDownload* sender, const QByteArray& stream, int result);
    // A check the user asked for was made in this run.
    bool UpdateManual() const;
    // An update request is in flight.
    bool UpdateBusy() const;
    // Replaces the machine facts the query string reports (tests pass fixed values).
    void SetSystemInfo(std::unique_ptr<platform::SystemInfo> systemInfo);
    // The channel of the update request; created with the first check.
    TIEDownload* iedNetConnection = nullptr;

private:
    void EnsureUpdateCheck();

    TSettings& m_settings;
    TEngineServices& m_services;
    std::function<void(const QString&)> m_openUrl;
    TUpdateCheck* m_updateCheck = nullptr;
    std::shared_ptr<platform::SystemInfo> m_systemInfo;
};
