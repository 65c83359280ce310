#pragma once

#include <QString>

#include <functional>

class QObject;

// The proxy of the program's own process. The embedded web view follows Qt's application
// proxy; the program's own libcurl requests that go "through the system settings" (flag
// images) read the same value through processProxy(). The list download, the update check and
// the proxy tests do not use it.
namespace platform {

// Points the process at an HTTP proxy "host:port" or a SOCKS5 proxy "socks5://host:port" for every
// protocol, or at a direct connection when the text is empty. False (and nothing changed) when the
// text is not a usable proxy.
bool setProcessProxy(const QString& proxy);
// The proxy set last ("host:port" or "socks5://host:port"), or empty for a direct connection. Safe
// from any thread.
QString processProxy();
// Calls listener with the new value after every change (setting the same value again is none), on the thread
// that made it, for as long as context lives. A process that shows pages in a helper process hands the helper each change this way.
void watchProcessProxy(QObject* context, std::function<void(const QString&)> listener);
// Tells listeners that proxy settings changed. GSettings and KDE notify their own listeners,
// so nothing is left to do here; the call keeps its place between the two proxy writes.
void notifyProxySettingsChanged();

} // namespace platform
