#pragma once

#include "CheckLease.h"
#include "GeoIpDatabase.h"
#include "SourceParser.h"
#include "StoredProxy.h"

#include <QString>

#include <variant>

// One change the store made in memory that the database has yet to take, in the order it was made.
namespace StoreChange {

// A proxy new to the store (its check history still empty).
struct AddProxy
{
    StoredProxy proxy;
};
// A source's new account of where a proxy is.
struct SetPlace
{
    qint64 id = 0;
    SourceEntry entry;
};
// A proxy's schedule and latest verdict after a check.
struct SetState
{
    qint64 id = 0;
    qint64 nextCheck = 0;
    int failuresInRow = 0;
    qint64 lastOk = 0;
    QString anonymity;
};
struct SetExit
{
    qint64 id = 0;
    QString address;
    GeoPlace place;
};
// A proxy forgotten, with its history.
struct DropProxy
{
    qint64 id = 0;
};
struct AddCheck
{
    qint64 id = 0;
    CheckRecord check;
};
// A source's latest fetch.
struct NoteSource
{
    QString name;
    QString location;
    bool ok = false;
    QString error;
    int entries = 0;
    qint64 at = 0;
};
// History older than before is dropped.
struct PruneChecks
{
    qint64 before = 0;
};

// The result of a check made under a lease of a shared database: written (the check, the proxy's new state,
// its exit when found, or the proxy forgotten) only while the lease is still the one it was made under. Once
// another instance has taken the proxy, its check is newer than this one, which is dropped and counted.
struct LeasedResult
{
    CheckLease lease;
    QString instance;
    CheckRecord check;
    qint64 nextCheck = 0;
    int failuresInRow = 0;
    qint64 lastOk = 0;
    QString anonymity;
    bool drop = false; // failed too often in a row: forgotten
    bool hasExit = false;
    QString exitAddress;
    GeoPlace exitPlace;
};

using Any =
    std::variant<AddProxy, SetPlace, SetState, SetExit, DropProxy, AddCheck, NoteSource, PruneChecks, LeasedResult>;

} // namespace StoreChange
