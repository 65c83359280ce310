#pragma once

#include "ServiceConfig.h"
#include "proxy/ProxyKind.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One proxy as a source names it; the place fields are empty where the source does not tell.
struct SourceEntry
{
    QString host;
    int port = 0;
    QString country;
    QString info;
    QString flagUrl;
    QString longitude;
    QString latitude;
    TProxyKind kind = TProxyKind::Http;

    // A host and port is one proxy, of the kind that named it first: one port rarely speaks two protocols.
    QString key() const { return host + QLatin1Char(':') + QString::number(port); }
};

// What one source's text gave.
struct SourceParseResult
{
    QList<SourceEntry> entries; // each proxy once, in the order first named
    int duplicates = 0;         // entries naming a proxy named before
    int rejected = 0;           // entries that were not a usable host and port
    bool cut = false;           // the text names more proxies than were kept; the rest was not read
    QString error;              // why the whole text is unusable; empty when it is usable
};

/// Reads a source's text in the given format, keeping at most maxEntries proxies. Binary text, text of
/// another shape than the format (a JSON object where an array belongs, a CSV without host and port
/// columns) and text without a single usable proxy give an error; bad single entries are counted.
SourceParseResult ParseSourceText(SourceFormat format, const QByteArray& text, int maxEntries);
