#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>

class TIEDownload;
class TSettings;
class TEngineServices;

// The update check: at most one request in flight, at most one automatic request per day, and
// the handling of the service's answer. A check the user asked for reports every outcome (newer
// version, newest already, failure); an automatic one only offers a newer version, and only
// while AutoCheckUpdate is on.
class TUpdateCheck : public QObject
{
    Q_OBJECT

public:
    // channel carries the requests; settings and services stay owned by the caller.
    TUpdateCheck(TIEDownload& channel, TSettings& settings, TEngineServices& services, QObject* parent = nullptr);

    // Opens an address in the browser (the engine window's OpenUrl); until set, nothing is opened.
    void SetOpenUrl(std::function<void(const QString&)> openUrl) { m_openUrl = std::move(openUrl); }
    // The current local time (default: the clock), so day changes can be checked.
    void SetClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // Whether a check the user asked for was made in this run; never cleared.
    bool UpdateManual() const { return m_updateManual; }
    // Whether a request is in flight.
    bool UpdateBusy() const { return m_updateBusy; }

    // Sends the update request to url unless one is in flight; manual marks it as asked for.
    void CheckForUpdate(bool manual, const QString& url);
    // Sends an automatic check when none was answered today (LastUpdateDate).
    void AutoCheckForUpdate(const QString& url);
    // Today's day number by the clock.
    int Today() const;

    // Completion of a request: body and result code of the channel.
    void iedNetConnectionComplete(TIEDownload* sender, const QByteArray& stream, int result);

private:
    TIEDownload& m_channel;
    TSettings& m_settings;
    TEngineServices& m_services;
    std::function<void(const QString&)> m_openUrl;
    std::function<QDateTime()> m_clock;
    bool m_updateManual = false;
    bool m_updateBusy = false;
};
