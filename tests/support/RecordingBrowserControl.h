#pragma once

#include "proxy/BrowserControl.h"

#include <QStringList>

namespace testsupport {

// Records every browser call as one text ("IE:host:port", "Firefox:", "Opera:...", "ClearIE", "ClearFirefox"),
// in order. Can make the Opera write fail, as a read-only profile file does.
class RecordingBrowserControl : public IBrowserControl
{
public:
    void SetIEProxy(const QString& proxy) override;
    void SetFirefoxProxy(const QString& proxy) override;
    void SetOperaProxy(const QString& proxy) override;
    void ClearIECookies() override;
    void ClearFirefoxCookies() override;

    // The calls so far, oldest first.
    QStringList calls;
    // The proxies set so far for the desktop (the first step of every apply), oldest first.
    QStringList appliedProxies() const;
    // When set, SetOperaProxy records the call and then throws std::runtime_error.
    bool failOpera = false;
};

} // namespace testsupport
