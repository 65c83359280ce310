#include "util/TIniFile.h"

#include "util/ByteText.h"
#include "util/SPTools.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

// Trims blanks and tabs only: other control characters are part of the text.
QString trimBlanks(const QString& s)
{
    int begin = 0;
    int end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.mid(begin, end - begin);
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The section name of a "[name]" line, or a null text when the line is not a section line.
QString sectionName(const QString& trimmed)
{
    if (!trimmed.startsWith(u'['))
        return QString();
    const int close = trimmed.indexOf(u']');
    if (close < 0)
        return QString();
    const QString name = trimBlanks(trimmed.mid(1, close - 1));
    return name.isNull() ? QStringLiteral("") : name;
}

// Lines that only look like entries: Windows INI comments start with ";", those of desktop
// programs (KDE's, for one) with "#".
bool isComment(const QString& trimmed)
{
    return trimmed.startsWith(u';') || trimmed.startsWith(u'#');
}

QString lineBreakText(TIniFile::LineBreak kind)
{
    return kind == TIniFile::LineBreak::Lf ? QStringLiteral("\n") : QStringLiteral("\r\n");
}

// A value may not span lines: a line break inside it would start new keys or sections.
QString oneLine(QString value)
{
    for (QChar& c : value) {
        if (c == u'\r' || c == u'\n')
            c = u' ';
    }
    return value;
}

} // namespace

TIniFile::TIniFile(LineBreak newDocument)
    : m_newDocumentBreak(lineBreakText(newDocument)), m_lineBreak(m_newDocumentBreak)
{
}

void TIniFile::Clear()
{
    m_preamble.clear();
    m_sections.clear();
    m_lineBreak = m_newDocumentBreak;
    m_bom = false;
}

void TIniFile::LoadFromBytes(const QByteArray& bytes)
{
    Clear();
    QString text = BytesToText(bytes);
    if (text.startsWith(QChar(0xFEFF))) {
        m_bom = true;
        text.remove(0, 1);
    }
    // Keep the file's own line breaks when it is written back.
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n') {
            m_lineBreak = QStringLiteral("\n");
            break;
        }
        if (text[i] == u'\r') {
            const bool crlf = i + 1 < text.size() && text[i + 1] == u'\n';
            m_lineBreak = crlf ? QStringLiteral("\r\n") : QStringLiteral("\r");
            break;
        }
    }

    std::vector<Line>* target = &m_preamble;
    const int n = text.size();
    int start = 0;
    while (start < n) {
        int end = start;
        while (end < n && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        const QString raw = text.mid(start, end - start);
        // One line break: CR LF, CR or LF. A last line without one still counts.
        QString eol;
        if (end < n && text[end] == u'\r' && end + 1 < n && text[end + 1] == u'\n')
            eol = QStringLiteral("\r\n");
        else if (end < n)
            eol = text[end];
        start = end + eol.size() + (end < n ? 0 : 1);

        const QString trimmed = trimBlanks(raw);
        const QString section = sectionName(trimmed);
        if (!section.isNull()) {
            m_sections.push_back(Section{section, raw, eol, end == n, {}});
            target = &m_sections.back().lines;
            continue;
        }
        Line line;
        line.text = raw;
        line.eol = eol;
        line.open = end == n;
        const int eq = trimmed.indexOf(u'=');
        if (eq > 0 && !isComment(trimmed)) {
            line.key = trimBlanks(trimmed.left(eq));
            line.value = trimBlanks(trimmed.mid(eq + 1));
            line.isValue = !line.key.isEmpty();
        }
        target->push_back(line);
    }
}

bool TIniFile::LoadFromFile(const QString& fileName, bool followLinks)
{
    Clear();
    // Opened without blocking and checked on the open descriptor: a FIFO or device put in the
    // file's place between a check and the open would otherwise block the program or feed it garbage.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::open(TextToBytes(fileName).constData(), flags);
    if (fd < 0)
        return false;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > MaxFileSize) {
        ::close(fd);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    const QByteArray bytes = file.read(MaxFileSize + 1);
    if (bytes.size() > MaxFileSize)
        return false;
    LoadFromBytes(bytes);
    return true;
}

QByteArray TIniFile::ToBytes() const
{
    QString text;
    if (m_bom)
        text += QChar(0xFEFF);
    // A last line read without a break stays without one until something follows it.
    QString owedBreak;
    const auto add = [&](const QString& line, const QString& eol, bool open) {
        text += std::exchange(owedBreak, QString());
        // After a lone CR, an empty line ending in LF would read back as one CR LF and vanish; this
        // only happens next to written or removed lines, whose CR becomes CR LF.
        if (line.isEmpty() && text.endsWith(u'\r') && (eol.isEmpty() ? m_lineBreak : eol).startsWith(u'\n'))
            text += u'\n';
        text += line;
        if (!eol.isEmpty())
            text += eol;
        else if (open)
            owedBreak = m_lineBreak;
        else
            text += m_lineBreak;
    };
    for (const Line& line : m_preamble)
        add(line.text, line.eol, line.open);
    for (const Section& section : m_sections) {
        add(section.header, section.headerEol, section.headerOpen);
        for (const Line& line : section.lines)
            add(line.text, line.eol, line.open);
    }
    return TextToBytes(text);
}

bool TIniFile::SaveToFile(const QString& fileName, bool followLinks) const
{
    QString target = fileName;
    if (followLinks) {
        // Resolved link by link rather than canonically, so that a link to a file not made yet
        // still leads to where that file belongs.
        QFileInfo info(fileName);
        for (int depth = 0; info.isSymLink() && depth < 40; ++depth)
            info.setFile(info.symLinkTarget());
        if (info.isSymLink())
            return false; // a loop of links
        target = info.filePath();
    }
    return AtomicWriteFile(target, ToBytes());
}

TIniFile::Section* TIniFile::findSection(const QString& name)
{
    for (Section& section : m_sections) {
        if (sameName(section.name, name))
            return &section;
    }
    return nullptr;
}

const TIniFile::Section* TIniFile::findSection(const QString& name) const
{
    return const_cast<TIniFile*>(this)->findSection(name);
}

const TIniFile::Line* TIniFile::findLine(const Section& section, const QString& key)
{
    for (const Line& line : section.lines) {
        if (line.isValue && sameName(line.key, key))
            return &line;
    }
    return nullptr;
}

bool TIniFile::SectionExists(const QString& section) const
{
    return findSection(section) != nullptr;
}

bool TIniFile::ValueExists(const QString& section, const QString& key) const
{
    const Section* s = findSection(section);
    return s && findLine(*s, key);
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const
{
    const Section* s = findSection(section);
    const Line* line = s ? findLine(*s, key) : nullptr;
    return line ? line->value : def;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    const QString name = trimBlanks(oneLine(key));
    const QString text = oneLine(value);
    Section* s = findSection(section);
    if (!s) {
        // A new section is set off from the one before by a blank line, as INI files usually are.
        std::vector<Line>& last = m_sections.empty() ? m_preamble : m_sections.back().lines;
        if (!last.empty() && !trimBlanks(last.back().text).isEmpty())
            last.push_back(Line{});
        const QString sectionText = trimBlanks(oneLine(section));
        m_sections.push_back(Section{sectionText, u'[' + sectionText + u']', QString(), false, {}});
        s = &m_sections.back();
    }
    for (Line& line : s->lines) {
        if (line.isValue && sameName(line.key, name)) {
            line.value = text;
            line.text = line.key + u'=' + text;
            return;
        }
    }
    // New keys go after the last non-blank line of the section, ahead of its separating blanks.
    auto at = s->lines.end();
    while (at != s->lines.begin() && trimBlanks((at - 1)->text).isEmpty())
        --at;
    s->lines.insert(at, Line{name + u'=' + text, name, text, true, QString(), false});
}

void TIniFile::DeleteKey(const QString& section, const QString& key)
{
    Section* s = findSection(section);
    if (!s)
        return;
    auto& lines = s->lines;
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const Line& line) { return line.isValue && sameName(line.key, key); }),
                lines.end());
}

void TIniFile::EraseSection(const QString& section)
{
    m_sections.erase(std::remove_if(m_sections.begin(), m_sections.end(),
                                    [&](const Section& s) { return sameName(s.name, section); }),
                     m_sections.end());
}

QStringList TIniFile::ReadSections() const
{
    QStringList names;
    for (const Section& section : m_sections) {
        if (!names.contains(section.name, Qt::CaseInsensitive))
            names.append(section.name);
    }
    return names;
}

QStringList TIniFile::ReadSection(const QString& section) const
{
    QStringList keys;
    if (const Section* s = findSection(section)) {
        for (const Line& line : s->lines) {
            if (line.isValue && !keys.contains(line.key, Qt::CaseInsensitive))
                keys.append(line.key);
        }
    }
    return keys;
}
