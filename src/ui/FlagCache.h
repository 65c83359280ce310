#pragma once

#include <QImage>
#include <QString>

class QLabel;

// Country flags are cached as PNG files in the settings folder, one file per country name
// as the list service spells it. The names come from the network, so they are mapped to a
// file name that can never leave that folder.

// The cache file name (without folder) for a country and a suffix such as "_small.png".
// Ordinary names are kept as they are ("United States" gives "United States_small.png");
// a name holding a path separator, "..", a NUL or control byte, a leading dot or an
// over-long text is replaced by a stable hashed name.
QString SafeFlagFileName(const QString& country, const QString& suffix);

// The full cache path: folder (with or without trailing "/") + SafeFlagFileName.
QString FlagCachePath(const QString& folder, const QString& country, const QString& suffix);

// Decodes a PNG flag file; a missing, truncated, over-large or non-PNG file gives a null image.
QImage LoadFlagImage(const QString& fileName);

// A cached flag, or a null image when there is none. A cached file that does not decode (a fetch cut
// short by a crash, an error page an older version kept) is removed, so that it is fetched again.
QImage CachedFlagImage(const QString& cacheFile);

// Fetches never write the cache file itself: a failed or refused fetch would leave a broken file
// there. They write this file beside it (tag, a word without dots, keeps apart fetchers that may
// fetch the same flag at once), which StoreFlagDownload then moves into place.
QString FlagDownloadFile(const QString& cacheFile, const QString& tag);
// Takes a finished fetch of FlagDownloadFile into the cache: only an answer with a 2xx status that
// decodes as a flag replaces the cache file (by a rename). Returns that flag; otherwise the download
// is removed and the image is null.
QImage StoreFlagDownload(const QString& downloadFile, int httpStatus);

// How a flag box is prepared before the flag is drawn into it.
enum class FlagFill
{
    None,       // draw over what the box shows
    FlagRect,   // fill the 16 x 16 flag rectangle with the box's background first
    WholeCanvas // fill the whole box with its background first
};

// Draws a flag into a flag box (a 16 x 12 label) at the rectangle (-1, -2)-(15, 14),
// stretched, as the flag images carry a one-pixel border left and two pixels above.
// A null flag still applies the fill, so the box never shows a stale picture by mistake.
void DrawFlagInto(QLabel* box, const QImage& flag, FlagFill fill);
