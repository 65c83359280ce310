#pragma once

#include <QByteArray>
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

// The verdict on one answer of the service's address check ("RemoteAddr=<address>" and one
// "Header.<Name>=<value>" line per request header).
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
