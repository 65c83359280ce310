#include "proxy/ProxyListLines.h"

#include "proxy/CharScan.h"
#include "proxy/HugePageHint.h"

#include <QIODevice>
#include <QStringDecoder>

#include <cstring>
#include <limits>

ProxyListLines::ProxyListLines(const QStringList& lines)
{
    qsizetype total = 0;
    for (const QString& line : lines)
        total += line.size() + 1;
    m_text.reserve(total);
    m_lines.reserve(lines.size());
    for (const QString& line : lines) {
        m_lines.append({m_text.size(), line.size()});
        m_text += line;
        m_text += QLatin1Char('\n');
    }
}

ProxyListLines ProxyListLines::fromText(const QString& text)
{
    ProxyListLines result;
    result.m_text = text;
    const char16_t* const chars = reinterpret_cast<const char16_t*>(text.constData());
    const qsizetype size = text.size();
    // List lines are some eighty characters long; room reserved and never used costs no memory.
    result.m_lines.reserve(size / 32 + 16);
    qsizetype start = 0;
    for (qsizetype i = FindCharAtMost(chars, 0, size, u'\r'); i < size; i = FindCharAtMost(chars, i, size, u'\r')) {
        const char16_t c = chars[i];
        if (c != u'\r' && c != u'\n') {
            ++i;
            continue;
        }
        result.m_lines.append({start, i - start});
        // CR LF counts as one break.
        i += (c == u'\r' && i + 1 < size && chars[i + 1] == u'\n') ? 2 : 1;
        start = i;
    }
    if (start < size)
        result.m_lines.append({start, size - start});
    return result;
}

ProxyListLines ProxyListLines::fromUtf8(QByteArrayView bytes)
{
    // Line breaks are ASCII, so decoding leaves them where they were.
    return fromText(QString::fromUtf8(bytes));
}

bool ProxyListLines::readUtf8(QIODevice& device, ProxyListLines& lines)
{
    // Decoded straight into the final text through a small reused buffer, so no copy of the whole file ever
    // exists in fresh memory. UTF-8 never takes fewer bytes than UTF-16 takes units, so the file's size is
    // room enough.
    const qint64 size = device.size() - device.pos();
    if (size < 0 || size >= qint64(std::numeric_limits<qsizetype>::max() / 4))
        return false;
    QString text(qsizetype(size), Qt::Uninitialized);
    AdviseHugePages(text.constData(), qsizetype(size) * qsizetype(sizeof(QChar)));
    QChar* out = text.data();
    // Each piece is decoded on its own and ends right after a line break (ASCII, which ends any broken
    // sequence), so the text comes out exactly as if the whole file had been decoded at once. Only the first
    // piece may start with a byte order mark that is dropped.
    QStringDecoder first(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QStringDecoder rest(QStringDecoder::Utf8,
                        QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    bool atStart = true;
    const auto decode = [&](QByteArrayView piece) {
        if (piece.isEmpty())
            return;
        const qsizetype used = out - text.constData();
        if (piece.size() > text.size() - used) {
            // The file grew while being read, or its size was not known (a pipe).
            text.resize(used + qMax(piece.size(), used));
            out = text.data() + used;
        }
        out = (atStart ? first : rest).appendToBuffer(out, piece);
        atStart = false;
    };
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    qsizetype filled = 0;
    for (;;) {
        if (filled == buffer.size())
            buffer.resize(buffer.size() * 2); // a line longer than the buffer
        const qint64 got = device.read(buffer.data() + filled, buffer.size() - filled);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        filled += qsizetype(got);
        qsizetype cut = filled;
        while (cut > 0 && buffer.at(cut - 1) != '\n' && buffer.at(cut - 1) != '\r')
            --cut;
        if (cut == 0)
            continue;
        decode(QByteArrayView(buffer.constData(), cut));
        std::memmove(buffer.data(), buffer.constData() + cut, size_t(filled - cut));
        filled -= cut;
    }
    decode(QByteArrayView(buffer.constData(), filled));
    text.truncate(out - text.constData());
    lines = fromText(text);
    return true;
}

QStringList ProxyListLines::toStringList() const
{
    QStringList lines;
    lines.reserve(size());
    for (qsizetype i = 0; i < size(); ++i)
        lines.append(at(i));
    return lines;
}

bool operator==(const ProxyListLines& a, const ProxyListLines& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a.line(i) != b.line(i))
            return false;
    }
    return true;
}

bool operator==(const ProxyListLines& a, const QStringList& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a.line(i) != QStringView(b.at(i)))
            return false;
    }
    return true;
}
