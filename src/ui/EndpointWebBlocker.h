#pragma once

#include "net/BlockingEndpoint.h"
#include "proxy/WebBlocker.h"

#include <QString>

#include <functional>

class TEngineServices;
class TSettings;

// The program's blocker: the blocking endpoint on 127.0.0.1, its page in the user's language, and the user's
// choice and the search's pace from the settings.
class EndpointWebBlocker : public IWebBlocker
{
public:
    // texts translate the page; proxyListUrl gives the address of a fresh list (empty: none). settings and
    // texts must outlive the blocker.
    EndpointWebBlocker(const TSettings& settings, const TEngineServices& texts, std::function<QString()> proxyListUrl);

    bool BlockWhenNoProxy() const override;
    int RetryIntervalMs() const override;
    QString ProxyListUrl() const override;
    // The page speaks the language of the moment the web is blocked.
    QString StartBlocking() override;
    void StopBlocking() override;

    // The endpoint itself, for its counts.
    const BlockingEndpoint& Endpoint() const { return m_endpoint; }

private:
    const TSettings& m_settings;
    const TEngineServices& m_texts;
    std::function<QString()> m_proxyListUrl;
    BlockingEndpoint m_endpoint;
};
