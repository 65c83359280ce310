#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

// Fetches the proxy list in a background thread, straight from the service (no proxy), and hands a body that
// arrived with a 2xx status to OnDone on the user-interface thread, waiting until it has run there. A failed
// request ends quietly. The thread frees itself; a receiver destroyed meanwhile is never called.
class TProxyInfoGet
{
public:
    // Starts the download of url; done runs on the user-interface thread unless guard has been destroyed.
    static void Start(const QString& url, QPointer<QObject> guard, std::function<void(const QString& text)> done);
};
