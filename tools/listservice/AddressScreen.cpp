#include "AddressScreen.h"

#include <QHash>
#include <QHostInfo>
#include <QSet>

#include <algorithm>

namespace {

using Subnet = QPair<QHostAddress, int>;

QList<Subnet> subnets(std::initializer_list<const char*> texts)
{
    QList<Subnet> out;
    for (const char* text : texts)
        out << QHostAddress::parseSubnet(QLatin1String(text));
    return out;
}

bool inAny(const QHostAddress& address, const QList<Subnet>& table)
{
    return std::any_of(table.cbegin(), table.cend(), [&](const Subnet& s) { return address.isInSubnet(s); });
}

// The IANA special-purpose ranges that no proxy of a public list belongs in.
const QList<Subnet>& nonGlobalV4()
{
    static const QList<Subnet> table =
        subnets({"0.0.0.0/8", "10.0.0.0/8", "100.64.0.0/10", "127.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12",
                 "192.0.0.0/24", "192.0.2.0/24", "192.88.99.0/24", "192.168.0.0/16", "198.18.0.0/15", "198.51.100.0/24",
                 "203.0.113.0/24", "224.0.0.0/4", "240.0.0.0/4"});
    return table;
}

// The same inside 2000::/3, the only IPv6 block given out for global unicast: protocol assignments
// (Teredo, benchmarking, ORCHID), documentation, and 6to4, which embeds whatever IPv4 address it likes.
const QList<Subnet>& nonGlobalV6()
{
    static const QList<Subnet> table = subnets({"2001::/23", "2001:db8::/32", "2002::/16", "3fff::/20"});
    return table;
}

} // namespace

bool IsGlobalAddress(const QHostAddress& address)
{
    if (address.isNull())
        return false;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4); // also unwraps ::ffff:a.b.c.d
    if (isV4)
        return !inAny(QHostAddress(v4), nonGlobalV4());
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    if ((bytes[0] & 0xe0) != 0x20)
        return false; // loopback, unspecified, IPv4-compatible, NAT64, unique local, link-local, multicast...
    return !inAny(address, nonGlobalV6());
}

int KeepGlobalEntries(QList<SourceEntry>& entries, const std::atomic_bool& abort)
{
    // Lists name the same host under many ports: each name is looked up once per fetch.
    QHash<QString, QHostAddress> resolved; // null: refused
    int refused = 0;
    QList<SourceEntry> kept;
    kept.reserve(entries.size());
    QSet<QString> keys; // two names, or a name and its address, may come to the same proxy
    for (SourceEntry& entry : entries) {
        QHostAddress address(entry.host);
        if (address.isNull()) {
            const auto known = resolved.constFind(entry.host);
            if (known != resolved.cend()) {
                address = known.value();
            } else if (!abort.load()) {
                const QList<QHostAddress> all = QHostInfo::fromName(entry.host).addresses();
                const bool global = !all.isEmpty() && std::all_of(all.cbegin(), all.cend(), [](const QHostAddress& a) {
                    return IsGlobalAddress(a);
                });
                address = global ? all.first() : QHostAddress();
                resolved.insert(entry.host, address);
            }
            if (!address.isNull()) {
                bool isV4 = false;
                const quint32 v4 = address.toIPv4Address(&isV4);
                entry.host = isV4 ? QHostAddress(v4).toString() : address.toString();
            }
        } else if (!IsGlobalAddress(address)) {
            address.clear();
        }
        if (address.isNull()) {
            ++refused;
            continue;
        }
        if (keys.contains(entry.key()))
            continue;
        keys.insert(entry.key());
        kept.append(std::move(entry));
    }
    entries = std::move(kept);
    return refused;
}
