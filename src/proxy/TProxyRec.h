#pragma once

#include <QString>

// One proxy of the list. Passed by value.
struct TProxyRec
{
    enum { stUntested = 0, stPassed = 1, stFailed = 2 };

    QString Proxy;     // host:port
    QString Info;
    QString Country;
    QString FlagUrl;
    QString Longitude;
    QString Latitude;
    int Status = stUntested;
    int Speed = 0;     // milliseconds
};
