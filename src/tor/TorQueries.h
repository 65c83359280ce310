#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class TorControlConnection;

// The questions and settings Veilport gives tor over an open control connection. Country codes are two
// lower-case letters ("de"). Each completion runs once from the event loop, with an empty error on
// success; when the connection itself fails it does not run at all (the connection's failed() says why).
namespace torqueries {

// Whether code is a country code tor accepts: two ASCII letters.
bool isCountryCode(const QString& code);

// Makes tor leave only through relays of country (ExitNodes {cc}, StrictNodes 1); an empty country lifts
// the restriction. tor abandons its circuits when the exit nodes change, so the next request goes out
// through the new country at once.
void setExitCountry(TorControlConnection& connection, const QString& country, std::function<void(QString error)> done);

// The country of an IPv4 or IPv6 address from tor's own address database (no traffic leaves the
// machine); empty when the database does not know it.
void countryOf(TorControlConnection& connection, const QString& address,
               std::function<void(QString country, QString error)> done);

// The countries in which the consensus tor holds has exit relays (flag Exit and not BadExit), sorted.
// Empty while tor has no consensus yet.
void exitCountries(TorControlConnection& connection, std::function<void(QStringList countries, QString error)> done);

// The IPv4 addresses of the usable exit relays in ns/all text (network status entries), each once.
QStringList exitRelayAddresses(const QByteArray& networkStatus);

} // namespace torqueries
