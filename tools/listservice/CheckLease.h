#pragma once

#include "proxy/ProxyKind.h"

#include <QString>

// A proxy this instance took from a shared database to check, with the state it had then. Until the lease
// expires no other instance takes it; its result is written only while the lease is still this one's.
struct CheckLease
{
    qint64 id = 0;
    QString host;
    int port = 0;
    TProxyKind kind = TProxyKind::Http;
    int failuresInRow = 0;
    qint64 lastOk = 0;
    QString anonymity;
    // When the lease ends, in ms since the epoch on the database server's clock; with the instance it is
    // what tells this lease from a later one of the same proxy.
    qint64 until = 0;
};
