#pragma once

#include <QString>

namespace platform {

// The desktop's own proxy settings, which the user's browsers follow live: the Linux home of
// the "current user's Internet settings". One implementation per desktop settings store.
class SystemProxySettings
{
public:
    virtual ~SystemProxySettings() = default;

    // A short name for traces and benchmark figures ("gnome", "kde").
    virtual QString name() const = 0;
    // Whether this store exists on this desktop; unavailable stores are not written.
    virtual bool isAvailable() const = 0;
    // Sends HTTP traffic through "host:port", and secure (https) traffic too when https is set
    // (otherwise secure pages go direct); sends every scheme through "socks5://host:port" (https
    // cannot keep secure pages apart there); or switches to a direct connection when the text is
    // empty. Applying one kind empties the other's host, so no proxy of an earlier kind stays in use.
    // Other proxy keys (bypass list, automatic configuration, credentials) are left as the user set
    // them. Returns whether the store took the change.
    virtual bool apply(const QString& proxy, bool https) = 0;
    // Every scheme through the proxy.
    bool apply(const QString& proxy) { return apply(proxy, true); }
};

} // namespace platform
