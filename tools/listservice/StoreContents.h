#pragma once

#include "StoredProxy.h"

#include <QHash>
#include <QString>

#include <map>

// Every proxy of the store as read from its database, with the index by host:port, ready to be swapped in.
struct StoreContents
{
    std::map<qint64, StoredProxy> proxies;
    QHash<QString, qint64> byKey;
    qint64 nextId = 1;
};
