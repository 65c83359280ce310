#include "platform/PrivateProfileFile.h"

#include <QFile>
#include <QSaveFile>

namespace platform {

namespace {
QByteArray stripCr(const QByteArray& line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

bool isSectionLine(const QByteArray& line, QString* name)
{
    const QByteArray t = stripCr(line).trimmed();
    if (t.size() < 2 || !t.startsWith('[') || !t.endsWith(']'))
        return false;
    if (name)
        *name = QString::fromUtf8(t.mid(1, t.size() - 2)).trimmed();
    return true;
}

bool keyOfLine(const QByteArray& line, QString* key)
{
    const QByteArray t = stripCr(line);
    const qsizetype eq = t.indexOf('=');
    if (eq < 0)
        return false;
    const QByteArray trimmed = t.trimmed();
    if (trimmed.startsWith(';') || trimmed.startsWith('#'))
        return false;
    *key = QString::fromUtf8(t.left(eq)).trimmed();
    return true;
}
} // namespace

bool PrivateProfileFile::load(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        setContents(QByteArray());
        return false;
    }
    setContents(file.readAll());
    return true;
}

void PrivateProfileFile::setContents(const QByteArray& bytes)
{
    m_lines.clear();
    m_endsWithNewline = bytes.isEmpty() || bytes.endsWith('\n');
    if (bytes.isEmpty())
        return;
    m_lines = bytes.split('\n');
    if (m_endsWithNewline)
        m_lines.removeLast(); // the empty piece after the final newline
}

QByteArray PrivateProfileFile::contents() const
{
    QByteArray out = m_lines.join('\n');
    if (!m_lines.isEmpty() && m_endsWithNewline)
        out += '\n';
    return out;
}

QByteArray PrivateProfileFile::lineEnding() const
{
    for (const QByteArray& line : m_lines) {
        if (line.endsWith('\r'))
            return QByteArrayLiteral("\r");
    }
    return QByteArray();
}

qsizetype PrivateProfileFile::findSection(const QString& section) const
{
    QString name;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (isSectionLine(m_lines[i], &name) && name.compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

qsizetype PrivateProfileFile::sectionEnd(qsizetype header) const
{
    qsizetype i = header + 1;
    while (i < m_lines.size() && !isSectionLine(m_lines[i], nullptr))
        ++i;
    return i;
}

QString PrivateProfileFile::value(const QString& section, const QString& key, const QString& def) const
{
    const qsizetype header = findSection(section);
    if (header < 0)
        return def;
    const qsizetype end = sectionEnd(header);
    QString name;
    for (qsizetype i = header + 1; i < end; ++i) {
        if (keyOfLine(m_lines[i], &name) && name.compare(key, Qt::CaseInsensitive) == 0) {
            const QByteArray line = stripCr(m_lines[i]);
            return QString::fromUtf8(line.mid(line.indexOf('=') + 1)).trimmed();
        }
    }
    return def;
}

void PrivateProfileFile::setValue(const QString& section, const QString& key, const QString& value)
{
    const QByteArray cr = lineEnding();
    const QByteArray newLine = key.toUtf8() + '=' + value.toUtf8() + cr;
    qsizetype header = findSection(section);
    if (header < 0) {
        // The last line of a file without a final newline must not run into the new section.
        m_endsWithNewline = true;
        m_lines.append('[' + section.toUtf8() + ']' + cr);
        m_lines.append(newLine);
        return;
    }
    const qsizetype end = sectionEnd(header);
    QString name;
    for (qsizetype i = header + 1; i < end; ++i) {
        if (keyOfLine(m_lines[i], &name) && name.compare(key, Qt::CaseInsensitive) == 0) {
            m_lines[i] = newLine;
            return;
        }
    }
    // After the section's last entry, before the blank lines that separate it from the next one.
    qsizetype insertAt = end;
    while (insertAt > header + 1 && stripCr(m_lines[insertAt - 1]).trimmed().isEmpty())
        --insertAt;
    if (insertAt == m_lines.size())
        m_endsWithNewline = true;
    m_lines.insert(insertAt, newLine);
}

bool PrivateProfileFile::save(const QString& fileName) const
{
    QSaveFile file(fileName);
    // Unbuffered, so a short write (full disk, size limit) shows in write()'s result; buffered, it
    // only surfaces in the final flush, which commit() does not check, and a truncated file
    // would replace the good one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray bytes = contents();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace platform
