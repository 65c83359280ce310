#pragma once

#include "SourceParser.h"

#include <QHostAddress>
#include <QList>

#include <atomic>

/// Whether an address can only be a public host's: false for loopback, private (10/8, 172.16/12,
/// 192.168/16, fc00::/7), link-local, shared (100.64/10), unspecified, multicast, broadcast, reserved and
/// documentation ranges, IPv6 outside 2000::/3, and the IPv4-mapped forms of all of these.
bool IsGlobalAddress(const QHostAddress& address);

/// Removes every entry whose host is not a global address and returns how many went. A host name is
/// resolved here and refused when it does not resolve or any of its addresses is not global; one that
/// passes is replaced by its first address, so that the checks and the callers reach the address that was
/// screened and not whatever the name points at later. Names still unresolved once abort is set are refused.
int KeepGlobalEntries(QList<SourceEntry>& entries, const std::atomic_bool& abort);
