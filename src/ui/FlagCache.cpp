#include "ui/FlagCache.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

#include <cstdio>

namespace {

// Flags are tiny; anything beyond this is not a flag and is not worth decoding.
constexpr int kMaxFlagSide = 1024;
// File names are limited to 255 bytes; leave room for the suffix.
constexpr int kMaxNameBytes = 200;
const QString kDownloadMark = QStringLiteral(".part-");

bool IsSafeFileStem(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.contains(QLatin1String("..")))
        return false;
    if (name.toUtf8().size() > kMaxNameBytes)
        return false;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f || c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return false;
    }
    return true;
}

} // namespace

QString SafeFlagFileName(const QString& country, const QString& suffix)
{
    if (IsSafeFileStem(country))
        return country + suffix;
    // A hash keeps distinct unsafe names apart and gives the same file for the same name,
    // so the cache still works for them.
    const QByteArray digest = QCryptographicHash::hash(country.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("flag-") + QString::fromLatin1(digest.left(24)) + suffix;
}

QString FlagCachePath(const QString& folder, const QString& country, const QString& suffix)
{
    QString dir = folder;
    if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir + SafeFlagFileName(country, suffix);
}

QImage LoadFlagImage(const QString& fileName)
{
    QImageReader reader(fileName, "png");
    reader.setDecideFormatFromContent(false);
    if (!reader.canRead())
        return {};
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxFlagSide || size.height() > kMaxFlagSide)
        return {};
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

QImage CachedFlagImage(const QString& cacheFile)
{
    if (!QFileInfo::exists(cacheFile))
        return {};
    QImage image = LoadFlagImage(cacheFile);
    if (image.isNull())
        QFile::remove(cacheFile);
    return image;
}

QString FlagDownloadFile(const QString& cacheFile, const QString& tag)
{
    return cacheFile + kDownloadMark + tag;
}

QImage StoreFlagDownload(const QString& downloadFile, int httpStatus)
{
    const qsizetype mark = downloadFile.lastIndexOf(kDownloadMark);
    QImage image;
    // An error page is no flag even when it is a picture.
    if (mark > 0 && httpStatus >= 200 && httpStatus < 300)
        image = LoadFlagImage(downloadFile);
    if (!image.isNull()) {
        const QString cacheFile = downloadFile.left(mark);
        // rename() replaces the old file in one step; QFile::rename refuses an existing target.
        if (::rename(QFile::encodeName(downloadFile).constData(), QFile::encodeName(cacheFile).constData()) == 0)
            return image;
    }
    QFile::remove(downloadFile);
    return image;
}

void DrawFlagInto(QLabel* box, const QImage& flag, FlagFill fill)
{
    if (!box)
        return;
    const QSize boxSize = box->size().isEmpty() ? QSize(16, 12) : box->size();
    QPixmap canvas = box->pixmap();
    if (canvas.isNull() || canvas.size() != boxSize) {
        canvas = QPixmap(boxSize);
        canvas.fill(box->palette().color(box->backgroundRole()));
    }
    const QColor brush = box->palette().color(box->backgroundRole());
    const QRect flagRect(-1, -2, 16, 16);
    {
        QPainter painter(&canvas);
        if (fill == FlagFill::WholeCanvas)
            painter.fillRect(QRect(QPoint(0, 0), boxSize), brush);
        else if (fill == FlagFill::FlagRect)
            painter.fillRect(flagRect, brush);
        if (!flag.isNull()) {
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(flagRect, flag);
        }
    }
    box->setPixmap(canvas);
}
