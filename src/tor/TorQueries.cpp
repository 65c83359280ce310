#include "tor/TorQueries.h"

#include "tor/TorControlConnection.h"
#include "tor/TorReplyText.h"

#include <QHostAddress>
#include <QSet>
#include <QTimer>

#include <memory>

namespace torqueries {

namespace {

// Keys asked in one GETINFO: one command instead of thousands, and a line tor reads without trouble.
constexpr int KeysPerRequest = 256;

QString refusal(const TorControlReply& reply)
{
    return QStringLiteral("Tor answered %1 %2").arg(reply.code).arg(QString::fromLatin1(reply.firstText().left(120)));
}

// A completion for a request that never reached tor still runs from the event loop, like the others.
void later(TorControlConnection& connection, std::function<void()> call)
{
    QTimer::singleShot(0, &connection, std::move(call));
}

// A country code as tor's address database gives it; empty for its "unknown" ("??") or anything odd.
QString countryCode(const QByteArray& value)
{
    const QString code = QString::fromLatin1(value).trimmed().toLower();
    return isCountryCode(code) ? code : QString();
}

} // namespace

bool isCountryCode(const QString& code)
{
    return code.size() == 2 && code.at(0).isLetter() && code.at(1).isLetter() && code.at(0).unicode() < 128 &&
           code.at(1).unicode() < 128;
}

void setExitCountry(TorControlConnection& connection, const QString& country, std::function<void(QString)> done)
{
    QByteArray command;
    if (country.isEmpty())
        command = "RESETCONF ExitNodes StrictNodes";
    else if (isCountryCode(country))
        command = "SETCONF ExitNodes={" + country.toLower().toLatin1() + "} StrictNodes=1";
    else
        return later(connection,
                     [done, country] { done(QStringLiteral("\"%1\" is not a country code").arg(country)); });
    const bool sent = connection.send(
        command, [done](const TorControlReply& reply) { done(reply.isOk() ? QString() : refusal(reply)); });
    if (!sent)
        later(connection, [done] { done(QStringLiteral("Tor is not connected")); });
}

void countryOf(TorControlConnection& connection, const QString& address, std::function<void(QString, QString)> done)
{
    // The address comes from a web page: only a plain address may become part of a command.
    QHostAddress parsed;
    if (!parsed.setAddress(address.trimmed()) || !parsed.scopeId().isEmpty())
        return later(connection, [done, address] {
            done({}, QStringLiteral("\"%1\" is not an IP address").arg(address.left(64)));
        });
    const QByteArray key = "ip-to-country/" + parsed.toString().toLatin1();
    const bool sent = connection.send("GETINFO " + key, [done, key](const TorControlReply& reply) {
        if (!reply.isOk())
            return done({}, refusal(reply));
        done(countryCode(reply.value(key)), {});
    });
    if (!sent)
        later(connection, [done] { done({}, QStringLiteral("Tor is not connected")); });
}

QStringList exitRelayAddresses(const QByteArray& networkStatus)
{
    QStringList addresses;
    QSet<QString> seen;
    QString current;
    for (const QByteArray& line : networkStatus.split('\n')) {
        if (line.startsWith("r ")) {
            // "r nickname identity [digest] date time address orport dirport"
            const QList<QByteArray> fields = line.trimmed().split(' ');
            current.clear();
            QHostAddress address;
            if (fields.size() >= 8 && address.setAddress(QString::fromLatin1(fields.at(fields.size() - 3))) &&
                address.protocol() == QAbstractSocket::IPv4Protocol)
                current = address.toString();
        } else if (line.startsWith("s ") && !current.isEmpty()) {
            const QList<QByteArray> flags = line.trimmed().split(' ');
            if (flags.contains("Exit") && !flags.contains("BadExit") && !seen.contains(current)) {
                seen.insert(current);
                addresses << current;
            }
            current.clear();
        }
    }
    return addresses;
}

void exitCountries(TorControlConnection& connection, std::function<void(QStringList, QString)> done)
{
    const bool sent = connection.send("GETINFO ns/all", [&connection, done](const TorControlReply& reply) {
        if (!reply.isOk())
            return done({}, refusal(reply));
        const QStringList addresses = exitRelayAddresses(reply.value("ns/all"));
        if (addresses.isEmpty())
            return done({}, {});
        struct Collect
        {
            QSet<QString> countries;
            int outstanding = 0;
            QString error;
        };
        auto collect = std::make_shared<Collect>();
        for (qsizetype first = 0; first < addresses.size(); first += KeysPerRequest) {
            QList<QByteArray> keys;
            for (const QString& address : addresses.mid(first, KeysPerRequest))
                keys << "ip-to-country/" + address.toLatin1();
            ++collect->outstanding;
            // The connection outlives its replies' handlers: they run from its own delivery.
            connection.send("GETINFO " + keys.join(' '), [collect, keys, done](const TorControlReply& answer) {
                if (!answer.isOk() && collect->error.isEmpty())
                    collect->error = refusal(answer);
                for (const QByteArray& key : keys) {
                    const QString code = countryCode(answer.value(key));
                    if (!code.isEmpty())
                        collect->countries.insert(code);
                }
                if (--collect->outstanding > 0)
                    return;
                QStringList sorted(collect->countries.cbegin(), collect->countries.cend());
                sorted.sort();
                done(collect->error.isEmpty() ? sorted : QStringList(), collect->error);
            });
        }
    });
    if (!sent)
        later(connection, [done] { done({}, QStringLiteral("Tor is not connected")); });
}

} // namespace torqueries
