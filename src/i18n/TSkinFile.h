#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// A skin: a Qt style sheet for every window, with optional named images.
//
// File format (.skn):
//   bytes 0..7   the signature "VPSKIN1\n"
//   the rest     one zlib stream (RFC 1950) holding a sequence of records:
//                  u32 big-endian name length, the name (UTF-8),
//                  u32 big-endian data length, the data.
//                The record "style.qss" is the style sheet (UTF-8). Every other record is an image;
//                the style sheet refers to it as url(skin:NAME).
// A file without the signature, with a damaged stream or records, or without a style sheet holds no
// skin data. The unpacked size is capped, so a hostile file cannot exhaust memory.
struct TSkinFile
{
    QString styleSheet;
    QList<QPair<QString, QByteArray>> images; // name -> image file bytes

    /// The signature at the start of every skin file.
    static QByteArray Signature();
    /// The largest unpacked skin accepted.
    static constexpr qsizetype MaxUnpackedSize = 32 * 1024 * 1024;

    /// Reads a skin from file bytes; false when they hold no (usable) skin data.
    static bool Decode(const QByteArray& bytes, TSkinFile& skin);
    /// Packs the skin into file bytes.
    QByteArray Encode() const;
    /// An image name is usable when it is a plain file name (no folders, no "..").
    static bool IsSafeImageName(const QString& name);
};
