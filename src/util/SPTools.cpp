// Text and number routines of SPTools.
#include "util/SPTools.h"

#include <limits>

namespace {

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

int SafeStrToInt(const QString& s, int def)
{
    int i = 0;
    const int n = s.size();
    while (i < n && (s[i] == u' ' || s[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && s[i] == u'$') {
        base = 16;
        ++i;
    }
    if (i >= n)
        return def;
    // Accumulate the magnitude in 64 bits; stop as soon as it leaves the 32-bit range so that very
    // long digit strings cannot overflow the accumulator either.
    const qint64 limit = negative ? -qint64(std::numeric_limits<int>::min()) : std::numeric_limits<int>::max();
    qint64 value = 0;
    for (; i < n; ++i) {
        const int d = hexDigit(s[i]);
        if (d < 0 || d >= base)
            return def;
        value = value * base + d;
        if (value > limit)
            return def;
    }
    return int(negative ? -value : value);
}

QString IntToStrPad(int value, int width, QChar fill)
{
    QString text = QString::number(value);
    if (text.size() < width)
        text.prepend(QString(width - text.size(), fill));
    return text;
}

QString BytesToHex(const QByteArray& data)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(data.size() * 2);
    for (const char byte : data) {
        const auto b = static_cast<unsigned char>(byte);
        text += QLatin1Char(digits[b >> 4]);
        text += QLatin1Char(digits[b & 15]);
    }
    return text;
}

int VersionToCode(const QString& s)
{
    QStringList words;
    SplitString(s, u' ', words);
    if (words.isEmpty())
        return 0;
    QStringList fields;
    SplitString(words.first(), u'.', fields);
    if (fields.size() != 4)
        return 0;
    int code = 0;
    for (const QString& field : fields)
        code = (code << 4) | (SafeStrToInt(field, 0) & 15);
    return code;
}

bool TextStartsWith(const QString& s, const QString& prefix)
{
    return QStringView(s).left(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0;
}

void SplitString(const QString& s, QChar delim, QStringList& list)
{
    if (s.isEmpty())
        return;
    QString field;
    for (const QChar c : s) {
        if (c == delim) {
            list.append(field);
            field.clear();
        } else {
            field += c;
        }
    }
    list.append(field);
}

QString FormatArgs(const QString& pattern, const QStringList& args)
{
    QString result;
    result.reserve(pattern.size());
    const int n = pattern.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = pattern[i];
        if (c != u'%' || i + 1 >= n) {
            result += c;
            continue;
        }
        const QChar next = pattern[i + 1];
        if (next == u'%') {
            result += u'%';
            ++i;
        } else if (next >= u'1' && next <= u'9') {
            const int index = next.unicode() - '1';
            if (index < args.size())
                result += args[index];
            ++i;
        } else {
            result += c;
            result += next;
            ++i;
        }
    }
    return result;
}

QString AddUrlParams(const QString& url, const QString& params)
{
    if (url.isEmpty())
        return params;
    if (!url.contains(u'?'))
        return url + u'?' + params;
    if (url.endsWith(u'&') || url.endsWith(u'?'))
        return url + params;
    return url + u'&' + params;
}

QStringList SplitCommandLine(const QString& commandLine)
{
    QStringList args;
    QString current;
    bool inWord = false;
    const int n = commandLine.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = commandLine[i];
        if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') {
            if (inWord) {
                args.append(current);
                current.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == u'\'') {
            // Single quotes keep everything literally up to the closing quote.
            for (++i; i < n && commandLine[i] != u'\''; ++i)
                current += commandLine[i];
        } else if (c == u'"') {
            // Inside double quotes a backslash escapes only the characters the shell treats so.
            for (++i; i < n && commandLine[i] != u'"'; ++i) {
                const QChar d = commandLine[i];
                if (d == u'\\' && i + 1 < n) {
                    const QChar e = commandLine[i + 1];
                    if (e == u'"' || e == u'\\' || e == u'$' || e == u'`') {
                        current += e;
                        ++i;
                        continue;
                    }
                    if (e == u'\n') {
                        ++i;
                        continue;
                    }
                }
                current += d;
            }
        } else if (c == u'\\') {
            if (i + 1 < n) {
                ++i;
                if (commandLine[i] != u'\n')
                    current += commandLine[i];
            }
        } else {
            current += c;
        }
    }
    if (inWord)
        args.append(current);
    return args;
}
