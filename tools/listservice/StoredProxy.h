#pragma once

#include "GeoIpDatabase.h"
#include "SourceParser.h"

#include <QString>

#include <deque>

// One check of a proxy as the service keeps it.
struct CheckRecord
{
    qint64 at = 0; // seconds since the epoch
    bool ok = false;
    int latencyMs = 0;
    QString anonymity; // "elite", "anonymous" or empty
    QString reason;    // why it failed
};

// A proxy the service knows, with its recent checks (newest last).
struct StoredProxy
{
    static constexpr int kRecentChecks = 10;

    qint64 id = 0;
    SourceEntry entry;
    QString source;
    qint64 added = 0;
    qint64 nextCheck = 0;
    int failuresInRow = 0;
    qint64 lastOk = 0;
    QString anonymity;   // of the last pass
    QString exitAddress; // where its requests leave from, as the service saw it
    GeoPlace exitPlace;  // that address's place in the GeoIP database; empty without one
    std::deque<CheckRecord> recent;

    /// Share of recent checks passed (0 without any).
    double successRate() const;
    /// The country to list it under: the source's own when it gives a place, else where it exits, else the
    /// source's country, else fallback.
    QString country(const QString& fallback) const;
    /// Longitude and latitude that go with country().
    QString longitude() const;
    QString latitude() const;
    /// Mean latency of the recent passes in ms (a large number without any).
    double meanLatency() const;
};
