#include "ui/FlagCache.h"

#include "support/TempDir.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

QByteArray PngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A flag whose third row is blue and every other row red, to see where it lands in the box.
QImage MarkedFlag()
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::red);
    for (int x = 0; x < 16; ++x)
        image.setPixel(x, 2, qRgb(0, 0, 255));
    return image;
}

} // namespace

TEST(FlagCache, OrdinaryCountryNamesKeepTheirFileName)
{
    EXPECT_EQ(SafeFlagFileName(QStringLiteral("United States"), QStringLiteral("_small.png")),
              QStringLiteral("United States_small.png"));
    EXPECT_EQ(SafeFlagFileName(QStringLiteral("un"), QStringLiteral("_small.png")), QStringLiteral("un_small.png"));
    EXPECT_EQ(SafeFlagFileName(QStringLiteral("Côte d'Ivoire"), QStringLiteral(".png")),
              QStringLiteral("Côte d'Ivoire.png"));
    EXPECT_EQ(FlagCachePath(QStringLiteral("/tmp/x"), QStringLiteral("Germany"), QStringLiteral("_small.png")),
              QStringLiteral("/tmp/x/Germany_small.png"));
    EXPECT_EQ(FlagCachePath(QStringLiteral("/tmp/x/"), QStringLiteral("Germany"), QStringLiteral("_small.png")),
              QStringLiteral("/tmp/x/Germany_small.png"));
}

TEST(FlagCache, HostileCountryNamesNeverLeaveTheSettingsFolder)
{
    testsupport::TempDir dir;
    const QString folder = dir.path() + QStringLiteral("/settings");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QStringList hostile = {QStringLiteral("../../outside"),
                                 QStringLiteral("a/b"),
                                 QStringLiteral(".."),
                                 QStringLiteral("."),
                                 QString(),
                                 QString::fromLatin1("Spain\0/../x", 11),
                                 QStringLiteral("line\nbreak"),
                                 QStringLiteral(".hidden"),
                                 QStringLiteral("back\\slash"),
                                 QStringLiteral("x..y"),
                                 QString(300, QLatin1Char('A'))};
    QStringList names;
    for (const QString& country : hostile) {
        const QString name = SafeFlagFileName(country, QStringLiteral("_small.png"));
        SCOPED_TRACE(country.toStdString());
        EXPECT_FALSE(name.contains(QLatin1Char('/')));
        EXPECT_FALSE(name.contains(QLatin1Char('\0')));
        EXPECT_FALSE(name.contains(QLatin1String("..")));
        EXPECT_FALSE(name.startsWith(QLatin1Char('.')));
        EXPECT_LE(name.toUtf8().size(), 255);
        EXPECT_TRUE(name.endsWith(QLatin1String("_small.png")));
        // Writing the cache file really lands in the folder.
        const QString path = FlagCachePath(folder, country, QStringLiteral("_small.png"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.close();
        EXPECT_EQ(QFileInfo(path).canonicalPath(), QFileInfo(folder).canonicalFilePath());
        names << name;
    }
    // Distinct names keep distinct files, and the same name always gives the same file.
    EXPECT_EQ(QSet<QString>(names.begin(), names.end()).size(), names.size());
    EXPECT_EQ(SafeFlagFileName(QStringLiteral("a/b"), QStringLiteral(".png")),
              SafeFlagFileName(QStringLiteral("a/b"), QStringLiteral(".png")));
    // Nothing appeared beside the settings folder.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("settings")});
}

TEST(FlagCache, LoadsValidPngsAndRejectsEverythingElse)
{
    testsupport::TempDir dir;
    const QString good = dir.write(QStringLiteral("good.png"), PngBytes(MarkedFlag()));
    const QImage image = LoadFlagImage(good);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(16, 16));
    EXPECT_EQ(QColor(image.pixel(0, 2)), QColor(Qt::blue));

    const QByteArray png = PngBytes(MarkedFlag());
    EXPECT_TRUE(LoadFlagImage(dir.write(QStringLiteral("html.png"), "<html>404 Not Found</html>")).isNull());
    EXPECT_TRUE(LoadFlagImage(dir.write(QStringLiteral("empty.png"), QByteArray())).isNull());
    EXPECT_TRUE(LoadFlagImage(dir.write(QStringLiteral("cut.png"), png.left(png.size() / 2))).isNull());
    EXPECT_TRUE(LoadFlagImage(dir.file(QStringLiteral("missing.png"))).isNull());

    // A header that claims an enormous picture is refused before anything is allocated.
    QByteArray huge = png;
    const int ihdrWidthOffset = 16;
    qToBigEndian<quint32>(200000, huge.data() + ihdrWidthOffset);
    qToBigEndian<quint32>(200000, huge.data() + ihdrWidthOffset + 4);
    EXPECT_TRUE(LoadFlagImage(dir.write(QStringLiteral("huge.png"), huge)).isNull());

    // Another image format under a .png name is not taken for a flag.
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    MarkedFlag().save(&buffer, "BMP");
    EXPECT_TRUE(LoadFlagImage(dir.write(QStringLiteral("bmp.png"), bmp)).isNull());
}

TEST(FlagCache, DrawsTheFlagOnePixelLeftAndTwoAboveTheBoxAndOnlyFillingTheWholeBoxClearsIt)
{
    QLabel box;
    box.resize(16, 12);
    const QColor background = box.palette().color(box.backgroundRole());
    DrawFlagInto(&box, MarkedFlag(), FlagFill::FlagRect);
    QImage shown = box.pixmap().toImage();
    ASSERT_EQ(shown.size(), QSize(16, 12));
    // Row 2 of the flag is the box's top row; row 3 follows.
    EXPECT_EQ(QColor(shown.pixel(5, 0)), QColor(Qt::blue));
    EXPECT_EQ(QColor(shown.pixel(5, 1)), QColor(Qt::red));
    EXPECT_EQ(QColor(shown.pixel(14, 11)), QColor(Qt::red));
    // The rectangle ends one column short of the box's right edge, which keeps the background.
    EXPECT_EQ(QColor(shown.pixel(15, 5)).rgb(), background.rgb());

    // Drawing nothing over the flag keeps it.
    DrawFlagInto(&box, QImage(), FlagFill::None);
    EXPECT_EQ(QColor(box.pixmap().toImage().pixel(5, 0)), QColor(Qt::blue));
    DrawFlagInto(&box, QImage(), FlagFill::WholeCanvas);
    shown = box.pixmap().toImage();
    EXPECT_EQ(QColor(shown.pixel(5, 0)).rgb(), background.rgb());
    EXPECT_EQ(QColor(shown.pixel(15, 11)).rgb(), background.rgb());
}
