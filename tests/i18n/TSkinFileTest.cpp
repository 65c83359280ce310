// The skin file format: round trip, images, and every way a file can hold no skin data.
#include "i18n/TSkinFile.h"

#include <QtEndian>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

QByteArray zlibPack(const QByteArray& payload)
{
    uLongf size = compressBound(uLong(payload.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(payload.constData()),
              uLong(payload.size()), 9);
    out.resize(qsizetype(size));
    return out;
}

QByteArray record(const QByteArray& name, const QByteArray& data)
{
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(name.size()), out.data());
    out += name;
    QByteArray len(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), len.data());
    return out + len + data;
}

} // namespace

TEST(SkinFile, RoundTripKeepsStyleAndSafeImages)
{
    TSkinFile skin;
    skin.styleSheet = QString::fromUtf8("QWidget { background: #123456; } /* ü */");
    skin.images = {{"check.png", QByteArray("\x89PNG\0\1\2", 7)}};
    const QByteArray bytes = skin.Encode();
    EXPECT_TRUE(bytes.startsWith("VPSKIN1\n"));

    TSkinFile back;
    ASSERT_TRUE(TSkinFile::Decode(bytes, back));
    EXPECT_EQ(back.styleSheet, skin.styleSheet);
    ASSERT_EQ(back.images.size(), 1);
    EXPECT_EQ(back.images[0].first, "check.png");
    EXPECT_EQ(back.images[0].second, skin.images[0].second);
}

TEST(SkinFile, FilesWithoutSkinDataAreRejected)
{
    TSkinFile skin;
    skin.styleSheet = "QWidget { color: red; }";
    const QByteArray good = skin.Encode();
    const QByteArray sig = TSkinFile::Signature();

    const QList<QByteArray> bad = {
        QByteArray(),                                        // empty file
        QByteArray("QWidget { color: red; }"),               // a bare style sheet
        sig,                                                 // signature only
        sig + QByteArray("not zlib at all"),                 // damaged stream
        good.left(good.size() - 6),                          // truncated stream
        sig + zlibPack(record("style.qss", "   \n")),        // blank style
        sig + zlibPack(record("other.png", "x")),            // no style record
        sig + zlibPack(record("style.qss", "a{}").left(10)), // cut record
        sig + zlibPack(QByteArray("\xff\xff\xff\xff", 4)),   // absurd record length
    };
    for (const QByteArray& bytes : bad) {
        TSkinFile out;
        out.styleSheet = "left over";
        EXPECT_FALSE(TSkinFile::Decode(bytes, out)) << bytes.left(40).toHex().constData();
        EXPECT_TRUE(out.styleSheet.isEmpty());
    }
}

TEST(SkinFile, ImagesWithFolderNamesAreDropped)
{
    const QByteArray payload = record("style.qss", "QWidget{}") + record("../evil.png", "x") +
                               record("sub/dir.png", "y") + record("ok.png", "z");
    TSkinFile out;
    ASSERT_TRUE(TSkinFile::Decode(TSkinFile::Signature() + zlibPack(payload), out));
    ASSERT_EQ(out.images.size(), 1);
    EXPECT_EQ(out.images[0].first, "ok.png");
}

TEST(SkinFile, ZipBombIsRefused)
{
    // 64 MB of zeros packs into a few dozen kilobytes; unpacking stops at the cap.
    const QByteArray payload = record("style.qss", QByteArray(64 * 1024 * 1024, ' '));
    TSkinFile out;
    EXPECT_FALSE(TSkinFile::Decode(TSkinFile::Signature() + zlibPack(payload), out));
}
