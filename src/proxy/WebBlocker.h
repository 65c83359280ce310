#pragma once

#include <QString>

// Where hiding points the browsers when no working proxy is left and the user would rather have the web blocked
// than see it go on under the own address. The proxy manager asks it at that moment and while the web is blocked.
class IWebBlocker
{
public:
    virtual ~IWebBlocker() = default;

    // Whether the user wants the web blocked then; read at each use, so a change of the option counts at once.
    virtual bool BlockWhenNoProxy() const = 0;
    // While blocked, how often a fresh list is fetched and tested.
    virtual int RetryIntervalMs() const = 0;
    // The address of a fresh proxy list; empty when there is none to fetch (the list in hand is tested again).
    virtual QString ProxyListUrl() const = 0;
    // Starts serving the blocking page unless it already does and returns its proxy text ("127.0.0.1:port");
    // empty when it cannot serve.
    virtual QString StartBlocking() = 0;
    // Stops serving; a browser still pointed at it then cannot connect at all.
    virtual void StopBlocking() = 0;
};
