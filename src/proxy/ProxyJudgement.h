#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>

// How well a proxy hides its user, from what the service saw of a request through it.
enum class TAnonymity
{
    Unknown,   // the service gave no account of the request (an older service)
    Anonymous, // the user's address stays hidden, but the proxy announces itself (Via, X-Forwarded-For ...)
    Elite      // neither the user's address nor any sign of a proxy reached the service
};

// "elite", "anonymous", or the empty text for Unknown.
QString AnonymityName(TAnonymity anonymity);

// Whether a request header is one by which a proxy announces itself or the address it serves (Via,
// Forwarded, X-Forwarded-For, X-Real-IP, Client-IP, Proxy-* ...); the name in any letter case.
bool IsProxyHeader(QByteArrayView name);

// Every IP address that stands in the text as a whole token ("for=1.2.3.4", "1.2.3.4:5555", "[::1]:80"),
// in order; part of a longer token ("11.2.3.45") is none.
QList<QHostAddress> AddressesInText(QByteArrayView text);

// The verdict on one answer of an address check: the service's own ("RemoteAddr=<address>" and one
// "Header.<Name>=<value>" line per request header), or a public judge's JSON (httpbin's "origin" and
// "headers", asked with show_env=1 so that it shows the proxy headers too; the Tor check service's "IP").
struct ProxyJudgement
{
    bool pass = false;
    TAnonymity anonymity = TAnonymity::Unknown;
    QString seenAddress; // the address the service saw the request come from; empty when not told
    QString reason;      // why it failed; empty on a pass
};

// Judges the answer of an address check made through a proxy. It fails when the service saw the
// user's own address (localAddress, as the list names it) as the sender, when any other line of the
// answer names it (a header, an older service's bare address), when the answer is binary or names no
// readable address; an answer without a RemoteAddr line comes from a service that does not tell, and
// otherwise passes unjudged. Proxy headers are only looked for when headersCount is set: inside a
// tunnel the proxy cannot add any.
ProxyJudgement JudgeAddressAnswer(const QByteArray& answer, const QString& localAddress, bool headersCount = true);
