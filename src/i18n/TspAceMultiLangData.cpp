#include "i18n/TspAceMultiLangData.h"

#include "i18n/TspAceMultiLang.h"

#include <QFile>
#include <QStringDecoder>

namespace {

bool isBlankOrControl(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

// Strips blanks and control characters at both ends, as every part of a language line is stripped.
QByteArray stripped(const char* begin, const char* end)
{
    while (begin < end && isBlankOrControl(*begin))
        ++begin;
    while (end > begin && isBlankOrControl(end[-1]))
        --end;
    return QByteArray(begin, end - begin);
}

// Bytes to text: UTF-8, or byte for byte when the file is in an older 8-bit code page.
QString bytesToText(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    return text;
}

// Names are compared without regard to letter case; the index and the look-ups share this form,
// whatever code page the file was written in.
QByteArray nameKey(const QString& name)
{
    return name.toCaseFolded().toUtf8();
}

QByteArray nameKey(const QByteArray& raw)
{
    return nameKey(bytesToText(raw));
}

bool startsWithTagAt(const QByteArray& raw, qsizetype i, const char* tag)
{
    for (qsizetype k = 0; tag[k]; ++k) {
        if (i + k >= raw.size())
            return false;
        const char c = raw[i + k];
        const char lower = (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
        if (lower != tag[k])
            return false;
    }
    return true;
}

} // namespace

TspAceMultiLangData::TspAceMultiLangData(QObject* parent) : QObject(parent) {}

TspAceMultiLangData::~TspAceMultiLangData()
{
    // Translators keep a guarded pointer to their data, so they simply find it gone.
}

void TspAceMultiLangData::SetData(const QByteArray& data)
{
    m_data = data;
    m_indexValid = false;
}

void TspAceMultiLangData::LoadLanguageFile(const QString& fileName)
{
    QFile file(fileName);
    SetData(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    // A translator may be destroyed by the reaction of another one (a window closing), so walk a copy.
    const auto translators = m_translators;
    for (const auto& translator : translators) {
        if (translator)
            translator->ApplyLanguage();
    }
}

void TspAceMultiLangData::ensureIndex() const
{
    if (m_indexValid)
        return;
    m_sections.clear();
    m_sectionByName.clear();

    Section* current = nullptr; // null before the first section and inside a repeated one
    const char* p = m_data.constData();
    const char* const end = p + m_data.size();
    while (p < end) {
        const char* lineEnd = p;
        while (lineEnd < end && *lineEnd != '\r' && *lineEnd != '\n')
            ++lineEnd;
        const QByteArray line = stripped(p, lineEnd);
        p = lineEnd;
        if (p < end && *p == '\r')
            ++p;
        if (p < end && *p == '\n')
            ++p;

        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[') && line.endsWith(']') && line.size() >= 2) {
            const QByteArray name = nameKey(stripped(line.constData() + 1, line.constData() + line.size() - 1));
            if (m_sectionByName.contains(name)) {
                // Only the first occurrence of a section is seen.
                current = nullptr;
            } else {
                m_sectionByName.insert(name, m_sections.size());
                m_sections.append(Section());
                current = &m_sections.last();
            }
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            continue;
        Entry entry{stripped(line.constData(), line.constData() + eq),
                    stripped(line.constData() + eq + 1, line.constData() + line.size())};
        const QByteArray key = nameKey(entry.key);
        if (current->byKey.contains(key))
            continue;
        current->byKey.insert(key, current->entries.size());
        current->entries.append(std::move(entry));
    }
    m_indexValid = true;
}

const TspAceMultiLangData::Section* TspAceMultiLangData::findSection(const QString& section) const
{
    ensureIndex();
    const auto it = m_sectionByName.constFind(nameKey(section));
    return it == m_sectionByName.cend() ? nullptr : &m_sections.at(*it);
}

const TspAceMultiLangData::Entry* TspAceMultiLangData::findEntry(const QString& section, const QString& key) const
{
    const Section* s = findSection(section);
    if (!s)
        return nullptr;
    const auto it = s->byKey.constFind(nameKey(key));
    return it == s->byKey.cend() ? nullptr : &s->entries.at(*it);
}

bool TspAceMultiLangData::FindText(const QString& section, const QString& componentName, const QString& propertyPath,
                                   QString& text) const
{
    const QString key = componentName.isEmpty() ? propertyPath : componentName + QLatin1Char('.') + propertyPath;
    const Entry* entry = findEntry(section, key);
    if (!entry)
        return false;
    text = DecodeValue(entry->value);
    return true;
}

void TspAceMultiLangData::FillStrings(const QString& section, QStringList& list) const
{
    const Section* s = findSection(section);
    if (!s)
        return;
    // An index over the list keeps a copy of a large section linear instead of quadratic.
    QHash<QString, qsizetype> position;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString name = list.at(i).section(QLatin1Char('='), 0, 0).toCaseFolded();
        if (!position.contains(name))
            position.insert(name, i);
    }
    QVector<bool> removed(list.size(), false);
    for (const Entry& entry : s->entries) {
        const QString name = bytesToText(entry.key);
        const QString value = DecodeValue(entry.value);
        const QString folded = name.toCaseFolded();
        const auto it = position.find(folded);
        if (it != position.end()) {
            if (value.isEmpty()) {
                removed[*it] = true;
                position.erase(it);
            } else {
                list[*it] = name + QLatin1Char('=') + value;
            }
        } else if (!value.isEmpty()) {
            position.insert(folded, list.size());
            list.append(name + QLatin1Char('=') + value);
            removed.append(false);
        }
    }
    if (removed.contains(true)) {
        QStringList kept;
        kept.reserve(list.size());
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (!removed.at(i))
                kept.append(list.at(i));
        }
        list = std::move(kept);
    }
}

QStringList TspAceMultiLangData::SectionKeys(const QString& section) const
{
    QStringList keys;
    if (const Section* s = findSection(section)) {
        keys.reserve(s->entries.size());
        for (const Entry& entry : s->entries)
            keys.append(bytesToText(entry.key));
    }
    return keys;
}

QString TspAceMultiLangData::Language() const
{
    QString text;
    FindText(QStringLiteral("Info"), QString(), QStringLiteral("Language"), text);
    return text;
}

QString TspAceMultiLangData::Version() const
{
    QString text;
    FindText(QStringLiteral("Info"), QString(), QStringLiteral("Version"), text);
    return text;
}

QString TspAceMultiLangData::Translator() const
{
    QString text;
    FindText(QStringLiteral("Info"), QString(), QStringLiteral("Translator"), text);
    return text;
}

int TspAceMultiLangData::SectionCount() const
{
    ensureIndex();
    return m_sections.size();
}

QList<TspAceMultiLang*> TspAceMultiLangData::Translators() const
{
    QList<TspAceMultiLang*> list;
    for (const auto& t : m_translators) {
        if (t)
            list.append(t.data());
    }
    return list;
}

void TspAceMultiLangData::attach(TspAceMultiLang* translator)
{
    for (const auto& t : m_translators) {
        if (t == translator)
            return;
    }
    m_translators.append(translator);
}

void TspAceMultiLangData::detach(TspAceMultiLang* translator)
{
    m_translators.removeIf([translator](const QPointer<TspAceMultiLang>& t) { return !t || t == translator; });
}

QString TspAceMultiLangData::DecodeValue(const QByteArray& raw)
{
    QByteArray bytes;
    bytes.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size();) {
        if (raw[i] == '<' && startsWithTagAt(raw, i, "<br>")) {
            bytes.append("\r\n");
            i += 4;
        } else if (raw[i] == '<' && startsWithTagAt(raw, i, "<sp>")) {
            bytes.append(' ');
            i += 4;
        } else {
            bytes.append(raw[i]);
            ++i;
        }
    }
    return bytesToText(bytes);
}

void SetListValue(QStringList& list, const QString& name, const QString& value)
{
    const QString prefix = name + QLatin1Char('=');
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list.at(i).startsWith(prefix, Qt::CaseInsensitive)) {
            if (value.isEmpty())
                list.removeAt(i);
            else
                list[i] = prefix + value;
            return;
        }
    }
    if (!value.isEmpty())
        list.append(prefix + value);
}

QString ListValue(const QStringList& list, const QString& name)
{
    const QString prefix = name + QLatin1Char('=');
    for (const QString& line : list) {
        if (line.startsWith(prefix, Qt::CaseInsensitive))
            return line.mid(prefix.size());
    }
    return QString();
}
