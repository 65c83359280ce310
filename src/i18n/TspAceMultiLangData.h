#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

class TspAceMultiLang;

// The text of one language and an index over it. The text is kept exactly as the language file
// holds it; the index follows the INI rules of language files (stripped lines, ";" comments,
// case-insensitive names, the first section and the first key of a name win).
class TspAceMultiLangData : public QObject
{
    Q_OBJECT
public:
    explicit TspAceMultiLangData(QObject* parent = nullptr);
    ~TspAceMultiLangData() override;

    /// The language text, byte for byte.
    QByteArray Data() const { return m_data; }
    /// Replaces the language text; the index is rebuilt at the next look-up. Translators are not re-applied.
    void SetData(const QByteArray& data);

    /// Replaces the text with the file's bytes (an unreadable file reads as empty) and re-applies every
    /// attached translator in the order they attached.
    void LoadLanguageFile(const QString& fileName);

    /// Looks up "componentName.propertyPath" (or the path alone when the name is empty) in a section;
    /// on success stores the decoded value in text and returns true, otherwise leaves text alone.
    bool FindText(const QString& section, const QString& componentName, const QString& propertyPath,
                  QString& text) const;

    /// Copies the section's entries into a Name=Value list in file order; an empty value removes the name.
    void FillStrings(const QString& section, QStringList& list) const;

    /// The keys of a section in file order (first occurrences only, as written in the file).
    QStringList SectionKeys(const QString& section) const;

    /// The language's own name, version and translator from the section "Info" (empty when absent).
    QString Language() const;
    QString Version() const;
    QString Translator() const;

    /// Number of distinct sections in the text.
    int SectionCount() const;

    /// The translators attached to this data, in attach order.
    QList<TspAceMultiLang*> Translators() const;

    /// Turns "<BR>" into CR LF and "<SP>" into a blank (any letter case) and the bytes into text.
    static QString DecodeValue(const QByteArray& raw);

private:
    friend class TspAceMultiLang;
    void attach(TspAceMultiLang* translator);
    void detach(TspAceMultiLang* translator);

    struct Entry
    {
        QByteArray key;
        QByteArray value;
    };
    struct Section
    {
        QVector<Entry> entries;       // first occurrence of each key, in file order
        QHash<QByteArray, int> byKey; // case-folded key -> index into entries
    };

    void ensureIndex() const;
    const Section* findSection(const QString& section) const;
    const Entry* findEntry(const QString& section, const QString& key) const;

    QByteArray m_data;
    mutable bool m_indexValid = false;
    mutable QVector<Section> m_sections;
    mutable QHash<QByteArray, int> m_sectionByName; // case-folded name -> index into m_sections
    QList<QPointer<TspAceMultiLang>> m_translators;
};

/// Sets the value of a name in a Name=Value list (names compared without case); an empty value removes it.
void SetListValue(QStringList& list, const QString& name, const QString& value);
/// The value of a name in a Name=Value list, or an empty text.
QString ListValue(const QStringList& list, const QString& name);
