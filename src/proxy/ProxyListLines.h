#pragma once

#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// The lines of a proxy list, kept as the list text itself and where each line lies in it. A list of a hundred
// thousand entries then costs one block of memory instead of a string per line, and a downloaded text is kept
// without a copy. Lines end at CR LF, LF or CR; a final line break adds no empty line. A value type; copies
// share the text.
class ProxyListLines
{
public:
    ProxyListLines() = default;
    // The given lines, as they stand (a line holding a line break stays one line).
    ProxyListLines(const QStringList& lines); // NOLINT(google-explicit-constructor): callers assign lists
    // The lines of a text.
    static ProxyListLines fromText(const QString& text);
    // The lines of UTF-8 bytes (invalid sequences become replacement characters).
    static ProxyListLines fromUtf8(QByteArrayView bytes);
    // Reads the rest of device as UTF-8 into lines, as fromUtf8 would; false (lines untouched) on a read error.
    static bool readUtf8(QIODevice& device, ProxyListLines& lines);

    // Number of lines.
    qsizetype size() const { return m_lines.size(); }
    bool isEmpty() const { return m_lines.isEmpty(); }
    // Line i without its line break, viewing the kept text (valid while this object and its text live).
    QStringView line(qsizetype i) const
    {
        const Span& span = m_lines.at(i);
        return QStringView(m_text).mid(span.start, span.length);
    }
    // Line i as a string of its own.
    QString at(qsizetype i) const { return line(i).toString(); }
    QStringList toStringList() const;
    operator QStringList() const { return toStringList(); } // NOLINT(google-explicit-constructor)

    friend bool operator==(const ProxyListLines& a, const ProxyListLines& b);
    friend bool operator==(const ProxyListLines& a, const QStringList& b);

private:
    struct Span
    {
        qsizetype start;
        qsizetype length;
    };
    QString m_text;
    QList<Span> m_lines;
};
