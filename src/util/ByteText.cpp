#include "util/ByteText.h"

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence starting at i, or 0 when the bytes there are not one.
// Overlong forms, surrogates and values above U+10FFFF are not valid.
int validSequence(const unsigned char* p, qsizetype i, qsizetype n, char32_t& cp)
{
    const unsigned char b0 = p[i];
    int length;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > n)
        return 0;
    for (int k = 1; k < length; ++k) {
        const unsigned char b = p[i + k];
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString BytesToText(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        char32_t cp = 0;
        const int length = validSequence(p, i, n, cp);
        if (length == 0) {
            text += QChar(char16_t(kEscapeBase + p[i]));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            text += QChar(QChar::highSurrogate(cp));
            text += QChar(QChar::lowSurrogate(cp));
        } else {
            text += QChar(char16_t(cp));
        }
        i += length;
    }
    return text;
}

QByteArray TextToBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t cp = text[i].unicode();
        if (QChar::isHighSurrogate(cp) && i + 1 < n && text[i + 1].isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(char16_t(cp), text[i + 1].unicode());
            ++i;
        } else if (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF) {
            bytes += char(cp - kEscapeBase);
            continue;
        } else if (QChar::isSurrogate(cp)) {
            // Any other lone surrogate cannot be written as UTF-8.
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            bytes += char(cp);
        } else if (cp < 0x800) {
            bytes += char(0xC0 | (cp >> 6));
            bytes += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            bytes += char(0xE0 | (cp >> 12));
            bytes += char(0x80 | ((cp >> 6) & 0x3F));
            bytes += char(0x80 | (cp & 0x3F));
        } else {
            bytes += char(0xF0 | (cp >> 18));
            bytes += char(0x80 | ((cp >> 12) & 0x3F));
            bytes += char(0x80 | ((cp >> 6) & 0x3F));
            bytes += char(0x80 | (cp & 0x3F));
        }
    }
    return bytes;
}
