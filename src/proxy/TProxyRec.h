#pragma once

#include "proxy/ProxyKind.h"

#include <QString>
#include <QtGlobal>

// One proxy of the list. Passed by value.
struct TProxyRec
{
    enum
    {
        stUntested = 0,
        stPassed = 1,
        stFailed = 2
    };

    QString Proxy; // host:port
    QString Info;
    QString Country;
    QString FlagUrl;
    QString Longitude;
    QString Latitude;
    int Status = stUntested;
    int Speed = 0;                      // milliseconds
    QString Anonymity;                  // "elite" or "anonymous" once it passed a test that could tell; else empty
    TProxyKind Kind = TProxyKind::Http; // the protocol Proxy speaks
};

// Its strings move with it, so lists may relocate records without copying them.
Q_DECLARE_TYPEINFO(TProxyRec, Q_RELOCATABLE_TYPE);
