#pragma once

#include "proxy/ExitRoute.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace testsupport {

// A stand-in for Veilport's own tor as the proxy manager's exit route: the test says when it connects and how
// far, and its SOCKS port and check page are whatever the test runs (a real SOCKS5 server, a local page
// answering {"IP": …}). Every signal comes from the event loop, as tor's do.
//
//     testsupport::ScriptedExitRoute route(checkPage.url("/api/ip"), socks.port(0));
//     manager.SetExitRoute(&route);
//     ... StartHide() ...
//     route.connectUpTo(45);      // progress(45)
//     route.finishBootstrap();    // progress(100), ready("127.0.0.1", port)
class ScriptedExitRoute : public IExitRoute
{
    Q_OBJECT

public:
    ScriptedExitRoute(QString checkUrl, quint16 socksPort, QObject* parent = nullptr);

    bool installed() const override { return isInstalled; }
    QString checkUrl() const override { return m_checkUrl; }
    // Reports progress 5 and controlReady(); a route not installed fails as tor's does.
    void start() override;
    void stop() override;
    // Counts the request and grants it from the event loop (after beforeIdentity, when set).
    bool newIdentity() override;
    void setExitCountry(const QString& code, std::function<void(QString error)> done) override;
    void exitCountries(std::function<void(QStringList codes, QString error)> done) override;
    void countryOf(const QString& address, std::function<void(QString code, QString error)> done) override;

    // Reports bootstrap progress.
    void connectUpTo(int percent);
    // Reports 100 % and the SOCKS port.
    void finishBootstrap();
    // Fails with message, ended as tor ends.
    void failWith(const QString& message);

    bool isInstalled = true;
    bool running = false;
    int starts = 0;
    int stops = 0;
    int identityRequests = 0;
    QStringList exitCountryCalls; // codes given to setExitCountry, in order ("" for any)
    QStringList exitCodes{QStringLiteral("de"), QStringLiteral("us")};
    // The country tor's GeoIP gives every address.
    QString countryCode = QStringLiteral("de");
    // Runs when a new identity is granted, before identityChanged() (a new exit: the test changes its check page).
    std::function<void(int request)> beforeIdentity;

private:
    QString m_checkUrl;
    quint16 m_socksPort;
};

} // namespace testsupport
