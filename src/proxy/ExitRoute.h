#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// A route that hides the user by itself instead of a proxy from the list: a local SOCKS5 port whose traffic
// leaves elsewhere (Veilport's own tor). The proxy manager drives it in place of a list's test run; the
// program's one lives beside tor, tests give doubles. Signals come from the event loop, never from inside a
// call, so a handler may stop the route.
//
//     start() → progress()… → controlReady() → progress(100) → ready(host, port)
//     newIdentity() → identityDelayed()? → identityChanged()
//     anything going wrong, at any time → failed(message), with the route ended
class IExitRoute : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Whether the route can run on this machine at all (its program is installed).
    virtual bool installed() const = 0;
    // The page that tells, as JSON {"IP": …}, under which address sites see the route's traffic.
    virtual QString checkUrl() const = 0;
    // Starts the route; does nothing while it runs.
    virtual void start() = 0;
    // Ends the route; nothing is left running.
    virtual void stop() = 0;
    // Asks for new circuits; false when the route is not connected.
    virtual bool newIdentity() = 0;
    // Restricts the exits to one country (two letters, lower or upper case) or lifts the restriction (empty).
    virtual void setExitCountry(const QString& code, std::function<void(QString error)> done) = 0;
    // The countries (two letters) in which the route knows exits; empty while it knows none.
    virtual void exitCountries(std::function<void(QStringList codes, QString error)> done) = 0;
    // The country (two letters) of an address; empty when unknown.
    virtual void countryOf(const QString& address, std::function<void(QString code, QString error)> done) = 0;

signals:
    void progress(int percent, const QString& summary);
    void controlReady();
    void ready(const QString& socksHost, quint16 socksPort);
    void identityChanged();
    void identityDelayed(int seconds);
    void failed(const QString& message);
};
