// libFuzzer target: any bytes as a language file. A plain reading of the file's rules (lines
// stripped, ";" comments, the first section and the first key of a name winning, lines before the
// first section ignored) must agree with every look-up the translators make, and the decoded texts
// must hold no tag that was left undecoded.

#include "i18n/TspAceMultiLangData.h"

#include "FuzzCheck.h"

#include <QSet>
#include <QStringDecoder>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

QString text(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString s = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : s;
}

QByteArray strip(QByteArray s)
{
    while (!s.isEmpty() && static_cast<unsigned char>(s.front()) <= 0x20)
        s.remove(0, 1);
    while (!s.isEmpty() && static_cast<unsigned char>(s.back()) <= 0x20)
        s.chop(1);
    return s;
}

struct ModelEntry
{
    QString key;
    QByteArray value;
};
struct ModelSection
{
    QString name;
    std::vector<ModelEntry> entries;
    QSet<QString> folded; // the entries' names, case-folded
};

std::vector<ModelSection> model(const QByteArray& bytes)
{
    std::vector<ModelSection> sections;
    QSet<QString> sectionNames; // case-folded
    ModelSection* current = nullptr;
    for (const QByteArray& raw : splitLines(bytes)) {
        const QByteArray line = strip(raw);
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.size() >= 2 && line.startsWith('[') && line.endsWith(']')) {
            const QString name = text(strip(line.mid(1, line.size() - 2)));
            current = nullptr;
            if (!sectionNames.contains(name.toCaseFolded())) {
                sectionNames.insert(name.toCaseFolded());
                sections.push_back(ModelSection{name, {}, {}});
                current = &sections.back();
            }
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!current || eq < 0)
            continue;
        const QString key = text(strip(line.left(eq)));
        if (!current->folded.contains(key.toCaseFolded())) {
            current->folded.insert(key.toCaseFolded());
            current->entries.push_back(ModelEntry{key, strip(line.mid(eq + 1))});
        }
    }
    return sections;
}

QString decoded(const QByteArray& raw)
{
    const QString s = text(raw);
    // Left to right, each tag once: "<BR>" is a line break, "<SP>" a blank, in any letter case.
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size();) {
        const QStringView tag = QStringView(s).mid(i, 4);
        if (tag.compare(QLatin1String("<br>"), Qt::CaseInsensitive) == 0) {
            out += QStringLiteral("\r\n");
            i += 4;
        } else if (tag.compare(QLatin1String("<sp>"), Qt::CaseInsensitive) == 0) {
            out += u' ';
            i += 4;
        } else {
            out += s[i++];
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    TspAceMultiLangData language;
    language.SetData(bytes);
    if (language.Data() != bytes)
        fail("the language text is not kept byte for byte");

    const std::vector<ModelSection> sections = model(bytes);
    if (language.SectionCount() != int(sections.size()))
        fail("section count differs");
    // Large files: checking the first sections fully keeps every input fast.
    const size_t checked = qMin<size_t>(sections.size(), 64);
    for (size_t i = 0; i < checked; ++i) {
        const ModelSection& section = sections[i];
        QStringList keys;
        QStringList expectedList;
        for (const ModelEntry& entry : section.entries) {
            keys.append(entry.key);
            QString found = QStringLiteral("\x01");
            if (!language.FindText(section.name, QString(), entry.key, found))
                fail("an entry of the file is not found");
            const QString value = decoded(entry.value);
            if (found != value)
                fail("an entry's text differs from its decoded value");
            if (found.contains(QLatin1String("<br>"), Qt::CaseInsensitive) ||
                found.contains(QLatin1String("<sp>"), Qt::CaseInsensitive))
                fail("a tag was left undecoded");
            if (!value.isEmpty())
                expectedList.append(entry.key + u'=' + value);
            // A component name and a property path join with a dot, as windows look their texts up.
            const qsizetype dot = entry.key.indexOf(u'.');
            if (dot > 0) {
                QString viaComponent;
                if (!language.FindText(section.name, entry.key.left(dot), entry.key.mid(dot + 1), viaComponent) ||
                    viaComponent != value)
                    fail("component look-up differs from the whole key");
            }
        }
        if (language.SectionKeys(section.name) != keys)
            fail("section keys differ");
        QStringList list;
        language.FillStrings(section.name, list);
        if (list != expectedList)
            fail("FillStrings differs from the section's entries");
    }
    // Names absent from the file are never found.
    QString untouched = QStringLiteral("kept");
    if (language.FindText(QStringLiteral("no such section \x02"), QString(), QStringLiteral("x"), untouched) ||
        untouched != QStringLiteral("kept"))
        fail("a missing section was found");
    language.Language();
    language.Version();
    language.Translator();
    return 0;
}
