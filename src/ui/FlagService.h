#pragma once

#include "ui/FlagCache.h"

#include <QImage>
#include <QObject>
#include <QString>

class THTTPGet;

// The flags of the hiding display: the user's own country's and the proxy country's, taken from the
// flag cache or fetched into it. Each flag is announced when it is at hand, at once from the cache or
// when its fetch has finished.
class FlagService : public QObject
{
    Q_OBJECT

public:
    // cacheFolder: where the flag files are kept (per user in either settings mode, like the proxy list).
    explicit FlagService(const QString& cacheFolder, QObject* parent = nullptr);

    void ShowLocalFlag(const QString& country, const QString& url);
    void ShowProxyFlag(const QString& country, const QString& url);
    // Loads a cached flag file into FlagImage; false (and an undecodable file removed) when it must be fetched.
    bool LoadCachedFlag(const QString& file);

    // The fetchers of the own and the proxy country's flag (children of this object, made on first use).
    THTTPGet* hglocal = nullptr;
    THTTPGet* hgFlag = nullptr;
    // The flag image loaded last.
    QImage FlagImage;

signals:
    // A flag to draw, and how its box is prepared first.
    void localFlagReady(const QImage& flag, FlagFill fill);
    void proxyFlagReady(const QImage& flag, FlagFill fill);

private:
    QString FlagFile(const QString& country) const;
    void hglocalDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize);
    void hgFlagDoneFile(THTTPGet* sender, const QString& fileName, qint64 fileSize);

    QString m_cacheFolder;
};
