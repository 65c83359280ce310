#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One proxy the service hands out, as read from the pool file.
struct PoolEntry
{
    QString proxy; // host:port
    QString info;
    QString country;
    QString flagUrl; // empty: the service's own large flag of the country
    QString longitude;
    QString latitude;
};

// What the service answers besides the pool: the caller's location and the update answer.
struct ServiceConfig
{
    QString localCountry = QStringLiteral("United States");
    QString localLongitude = QStringLiteral("-77.0369");
    QString localLatitude = QStringLiteral("38.9072");
    QString publicHost; // host:port put into flag URLs; empty: the Host header of each request
    QString magicWord = QStringLiteral("veilport-update-v1");
    QString updateResult = QStringLiteral("0");
    QString updateInfo;
    QString updatePage;
    QString infoText = QStringLiteral("Veilport list service");
};

/// Reads a config file of Name=Value lines; false with error text on unreadable files or unknown names.
bool LoadServiceConfig(const QString& fileName, ServiceConfig& config, QString& error);

/// Parses pool text: one "host:port|info|country|flag URL|longitude|latitude" a line, '#' starts a comment.
/// Bad lines are skipped and described in warnings (with their line numbers).
QList<PoolEntry> ParsePool(const QByteArray& text, QStringList& warnings);

/// Reads and parses a pool file; false when it cannot be read.
bool LoadPoolFile(const QString& fileName, QList<PoolEntry>& pool, QStringList& warnings);
