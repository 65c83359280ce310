#include "i18n/TSkinFile.h"

#include <QtEndian>

#include <zlib.h>

namespace {

const char kStyleRecord[] = "style.qss";

bool inflateCapped(const QByteArray& in, QByteArray& out)
{
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
    zs.avail_in = static_cast<uInt>(in.size());
    char buffer[64 * 1024];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof(buffer);
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&zs);
            return false;
        }
        const qsizetype produced = qsizetype(sizeof(buffer) - zs.avail_out);
        if (out.size() + produced > TSkinFile::MaxUnpackedSize) {
            inflateEnd(&zs);
            return false;
        }
        out.append(buffer, produced);
        if (rc == Z_OK && produced == 0 && zs.avail_in == 0) {
            inflateEnd(&zs); // truncated stream
            return false;
        }
    }
    inflateEnd(&zs);
    return true;
}

bool readChunk(const QByteArray& data, qsizetype& pos, QByteArray& chunk)
{
    if (data.size() - pos < 4)
        return false;
    const quint32 len = qFromBigEndian<quint32>(data.constData() + pos);
    pos += 4;
    if (qsizetype(len) > data.size() - pos)
        return false;
    chunk = data.mid(pos, len);
    pos += len;
    return true;
}

void writeChunk(QByteArray& out, const QByteArray& chunk)
{
    char len[4];
    qToBigEndian<quint32>(quint32(chunk.size()), len);
    out.append(len, 4);
    out.append(chunk);
}

} // namespace

QByteArray TSkinFile::Signature()
{
    return QByteArrayLiteral("VPSKIN1\n");
}

bool TSkinFile::IsSafeImageName(const QString& name)
{
    return !name.isEmpty() && name.size() <= 128 && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('\0'));
}

bool TSkinFile::Decode(const QByteArray& bytes, TSkinFile& skin)
{
    skin = TSkinFile();
    if (!bytes.startsWith(Signature()))
        return false;
    QByteArray payload;
    if (!inflateCapped(bytes.mid(Signature().size()), payload))
        return false;

    TSkinFile result;
    bool hasStyle = false;
    qsizetype pos = 0;
    while (pos < payload.size()) {
        QByteArray name, data;
        if (!readChunk(payload, pos, name) || !readChunk(payload, pos, data))
            return false;
        const QString recordName = QString::fromUtf8(name);
        if (recordName == QLatin1String(kStyleRecord)) {
            result.styleSheet = QString::fromUtf8(data);
            hasStyle = true;
        } else if (IsSafeImageName(recordName)) {
            result.images.append({recordName, data});
        }
    }
    if (!hasStyle || result.styleSheet.trimmed().isEmpty())
        return false;
    skin = std::move(result);
    return true;
}

QByteArray TSkinFile::Encode() const
{
    QByteArray payload;
    writeChunk(payload, QByteArray(kStyleRecord));
    writeChunk(payload, styleSheet.toUtf8());
    for (const auto& image : images) {
        writeChunk(payload, image.first.toUtf8());
        writeChunk(payload, image.second);
    }
    uLongf size = compressBound(uLong(payload.size()));
    QByteArray packed(qsizetype(size), Qt::Uninitialized);
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(payload.constData()),
              uLong(payload.size()), Z_BEST_COMPRESSION);
    packed.resize(qsizetype(size));
    return Signature() + packed;
}
