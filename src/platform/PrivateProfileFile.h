#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace platform {

// Edits Name=Value entries of an INI file made by another program (Opera's profile, KDE's
// kioslaverc) while every other byte of it stays as it was: comments, unknown sections, line
// endings, blank lines. Section and key names match without regard to case.
class PrivateProfileFile
{
public:
    // Loads the file; false when it cannot be read (a missing file loads as empty and returns false).
    bool load(const QString& fileName);
    // Starts from the given bytes instead of a file.
    void setContents(const QByteArray& bytes);
    QByteArray contents() const;

    // The value of a key, or def when the section or key is absent.
    QString value(const QString& section, const QString& key, const QString& def = QString()) const;
    // Replaces the key's line in place, or adds the key at the end of its section, or adds the
    // section at the end of the file.
    void setValue(const QString& section, const QString& key, const QString& value);

    // Replaces the file in one step (temporary file beside it, synced, renamed), so a reader
    // never sees half a file. False when the folder or file cannot be written.
    bool save(const QString& fileName) const;

private:
    qsizetype findSection(const QString& section) const;
    qsizetype sectionEnd(qsizetype header) const;
    QByteArray lineEnding() const;

    QList<QByteArray> m_lines; // without their "\n"; a "\r" before it stays part of the line
    bool m_endsWithNewline = true;
};

} // namespace platform
