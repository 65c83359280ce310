#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

// A machine with no way out, for tests that start real browsers, tor, or proxies from real-world lists: this
// process and every process it starts afterwards (browser, tinyproxy, the program) live in a network namespace
// of their own where only loopback is up. A connection to any other address fails at once with "network
// unreachable", so a browser's telemetry, update or safe-browsing request, or a proxy that connects anywhere,
// cannot leave the machine. With host names it also gives a private /etc/hosts (the system's lines, plus each
// name for 127.0.0.1) in a mount namespace of its own: browsers send requests for "localhost" and loopback
// addresses direct whatever their proxy says, so a loopback site is reached through a proxy only under a name.
//
// Enter it while the process still has a single thread, as a static initializer:
//
//     const bool g_privateNetwork = PrivateNetwork::enter({QStringLiteral("site.veilport.test")});
//
// (a namespace entered later holds only the calling thread, and a thread started before stays outside).
// Needs root; without it enter() is false, error() says why, and the tests skip.
class PrivateNetwork
{
public:
    // Enters the network namespace with loopback up and, given names, the private /etc/hosts. False, with the
    // reason in error(), when either could not be had.
    static bool enter(const QStringList& hostNames = {});
    // Whether this process is in a network namespace that enter() made.
    static bool entered();
    // Puts more addresses on loopback inside the namespace (all of 127.0.0.0/8 is loopback's already), so that
    // a server can listen on, or a client leave from, a private test address. False, with the reason in
    // error(), outside the namespace or when the system refuses one.
    static bool addAddresses(const QList<QHostAddress>& addresses);
    // Gives the namespace a network card as a user's machine has one: an interface named name with this IPv4
    // address (prefix /24) and the default route through it, so that a browser finds a local address besides
    // loopback (a WebRTC host candidate). It is one end of a veth pair whose other end, unaddressed and not
    // forwarding, stays in the namespace too: whatever is sent through it ends there. False, with error(), outside
    // the namespace or when the system refuses.
    static bool addNetworkCard(const QString& name, const QHostAddress& address);
    // Removes a card addNetworkCard() made (with its default route); false when there was none.
    static bool removeNetworkCard(const QString& name);
    static QString error();
};

} // namespace testsupport
