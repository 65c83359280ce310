#include "tor/TorReplyText.h"

namespace torreply {

namespace {

// Reads a quoted string that starts at text[pos] == '"'; moves pos past its closing quote (or to the end
// when it is never closed).
QByteArray readQuoted(const QByteArray& text, qsizetype& pos)
{
    QByteArray value;
    ++pos;
    while (pos < text.size()) {
        const char c = text.at(pos++);
        if (c == '"')
            return value;
        if (c != '\\' || pos >= text.size()) {
            value.append(c);
            continue;
        }
        const char e = text.at(pos++);
        if (e == 'n') {
            value.append('\n');
        } else if (e == 't') {
            value.append('\t');
        } else if (e == 'r') {
            value.append('\r');
        } else if (e >= '0' && e <= '7') {
            int octal = e - '0';
            for (int i = 0; i < 2 && pos < text.size() && text.at(pos) >= '0' && text.at(pos) <= '7'; ++i)
                octal = octal * 8 + (text.at(pos++) - '0');
            value.append(char(octal & 0xff));
        } else {
            value.append(e);
        }
    }
    return value;
}

// Reads one word starting at pos (quoted parts unquoted in place), leaving pos on the blank after it.
QByteArray readWord(const QByteArray& text, qsizetype& pos)
{
    QByteArray word;
    while (pos < text.size() && text.at(pos) != ' ') {
        if (text.at(pos) == '"')
            word.append(readQuoted(text, pos));
        else
            word.append(text.at(pos++));
    }
    return word;
}

} // namespace

QMap<QByteArray, QByteArray> keywordArguments(const QByteArray& text)
{
    QMap<QByteArray, QByteArray> arguments;
    qsizetype pos = 0;
    while (pos < text.size()) {
        if (text.at(pos) == ' ') {
            ++pos;
            continue;
        }
        const qsizetype start = pos;
        while (pos < text.size() && text.at(pos) != ' ' && text.at(pos) != '=' && text.at(pos) != '"')
            ++pos;
        const QByteArray key = text.mid(start, pos - start);
        if (pos < text.size() && text.at(pos) == '=') {
            ++pos;
            arguments.insert(key, readWord(text, pos));
        } else {
            readWord(text, pos);
        }
    }
    return arguments;
}

QList<QByteArray> words(const QByteArray& text)
{
    QList<QByteArray> result;
    qsizetype pos = 0;
    while (pos < text.size()) {
        if (text.at(pos) == ' ') {
            ++pos;
            continue;
        }
        result.append(readWord(text, pos));
    }
    return result;
}

} // namespace torreply
