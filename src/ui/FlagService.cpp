#include "ui/FlagService.h"

#include "net/THTTPGet.h"

#include <QFile>

namespace {

THTTPGet* MakeFlagFetcher(QObject* owner, const char* name)
{
    auto* fetcher = new THTTPGet(owner);
    fetcher->setObjectName(QString::fromLatin1(name));
    fetcher->SetBinaryData(true);
    fetcher->SetUseCache(false);
    fetcher->SetWaitThread(false);
    // A fetch that failed leaves only its download behind, never a cache file.
    QObject::connect(fetcher, &THTTPGet::OnError, fetcher, [](THTTPGet* sender) { QFile::remove(sender->FileName()); });
    return fetcher;
}

} // namespace

FlagService::FlagService(const QString& cacheFolder, QObject* parent) : QObject(parent), m_cacheFolder(cacheFolder) {}

QString FlagService::FlagFile(const QString& country) const
{
    return FlagCachePath(m_cacheFolder, country, QStringLiteral("_small.png"));
}

bool FlagService::LoadCachedFlag(const QString& file)
{
    FlagImage = CachedFlagImage(file);
    return !FlagImage.isNull();
}

void FlagService::ShowLocalFlag(const QString& country, const QString& url)
{
    const QString file = FlagFile(country);
    if (LoadCachedFlag(file)) {
        emit localFlagReady(FlagImage, FlagFill::FlagRect);
        return;
    }
    if (!hglocal) {
        hglocal = MakeFlagFetcher(this, "hglocal");
        connect(hglocal, &THTTPGet::OnDoneFile, this, &FlagService::hglocalDoneFile);
    }
    hglocal->SetFileName(FlagDownloadFile(file, QStringLiteral("hglocal")));
    hglocal->SetURL(url);
    hglocal->GetFile();
}

void FlagService::ShowProxyFlag(const QString& country, const QString& url)
{
    const QString file = FlagFile(country);
    if (LoadCachedFlag(file)) {
        emit proxyFlagReady(FlagImage, FlagFill::FlagRect);
        return;
    }
    if (!hgFlag) {
        hgFlag = MakeFlagFetcher(this, "hgFlag");
        connect(hgFlag, &THTTPGet::OnDoneFile, this, &FlagService::hgFlagDoneFile);
    }
    hgFlag->SetFileName(FlagDownloadFile(file, QStringLiteral("hgFlag")));
    hgFlag->SetURL(url);
    hgFlag->GetFile();
}

void FlagService::hglocalDoneFile(THTTPGet* sender, const QString& fileName, qint64)
{
    FlagImage = StoreFlagDownload(fileName, sender->HttpStatus());
    emit localFlagReady(FlagImage, FlagFill::None);
}

void FlagService::hgFlagDoneFile(THTTPGet* sender, const QString& fileName, qint64)
{
    FlagImage = StoreFlagDownload(fileName, sender->HttpStatus());
    emit proxyFlagReady(FlagImage, FlagFill::WholeCanvas);
}
