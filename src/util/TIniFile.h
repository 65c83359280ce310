#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// An INI document held in memory: "[section]" lines and "Name=Value" lines. It serves the program's
// own files (constants, settings) and files that belong to other programs (Opera's profile, KDE's
// kioslaverc), so loading and saving gives back the very bytes that were loaded, and a write changes
// only the line it writes. Section and key names are compared without regard to letter case; names
// and values are trimmed of blanks on reading. Every line the document does not understand
// (comments starting with ";" or "#", text before the first section, lines without "=", blank lines)
// is kept, as are a byte order mark, each line's own line break and a missing last one. New sections
// and keys go to the end, so the file keeps the order in which things were first created. Bytes that
// are not valid UTF-8 survive unchanged. With sections or keys named twice, the first one counts.
class TIniFile
{
public:
    // The line break of a document that has none of its own yet.
    enum class LineBreak
    {
        CrLf, // the program's own files, in the Windows text format
        Lf,   // files of desktop programs that write plain LF
    };

    explicit TIniFile(LineBreak newDocument = LineBreak::CrLf);

    // Replaces the content by the parsed bytes (any bytes are accepted).
    void LoadFromBytes(const QByteArray& bytes);
    // Replaces the content by the file's; a missing or unreadable file, anything but a regular file
    // and a file over MaxFileSize give an empty document and false. A symbolic link is refused
    // unless followLinks is set: in a folder that other users can write, a link is theirs.
    bool LoadFromFile(const QString& fileName, bool followLinks = false);
    // The largest file LoadFromFile reads; INI files of the program are a few kilobytes.
    static constexpr qint64 MaxFileSize = 16 * 1024 * 1024;
    // The document as file bytes. Loaded lines keep their own line breaks (a last line without one
    // stays so while it is last); new lines get the file's first kind of line break, or the
    // document's own one when the file has none.
    QByteArray ToBytes() const;
    // Writes the document atomically (the file is always the old or the new content). A symbolic
    // link is replaced like a file unless followLinks is set; then the file it leads to is written,
    // as the user who made the link expects of a file in the user's own folders.
    bool SaveToFile(const QString& fileName, bool followLinks = false) const;
    // Removes everything.
    void Clear();

    // Whether the section exists.
    bool SectionExists(const QString& section) const;
    // Whether the key exists in the section (even with an empty value).
    bool ValueExists(const QString& section, const QString& key) const;
    // The key's value, or def when the section or key is absent.
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // Sets the key's value, creating section and key at the end when absent. Line breaks in the
    // value become blanks, so a value can never add lines of its own to the file. A key keeps the
    // spelling it was first written with.
    void WriteString(const QString& section, const QString& key, const QString& value);
    // Removes one key; nothing happens when it is absent.
    void DeleteKey(const QString& section, const QString& key);
    // Removes a section with all its lines.
    void EraseSection(const QString& section);
    // Names of the sections, in file order.
    QStringList ReadSections() const;
    // Names of the keys of a section, in file order.
    QStringList ReadSection(const QString& section) const;

private:
    struct Line
    {
        QString text;  // the line as it is written (raw for unknown lines)
        QString key;   // the trimmed key for Name=Value lines, empty otherwise
        QString value; // the trimmed value for Name=Value lines
        bool isValue = false;
        QString eol;       // the line break that ended the line; empty: the document's usual one
        bool open = false; // the file's last line, read without a line break
    };
    struct Section
    {
        QString name;
        QString header;          // the header line as read, or "[name]" for a new section
        QString headerEol;       // the line break after the header; empty: the usual one
        bool headerOpen = false; // the header is the file's last line, read without a line break
        std::vector<Line> lines; // lines after the header up to the next section
    };

    Section* findSection(const QString& name);
    const Section* findSection(const QString& name) const;
    static const Line* findLine(const Section& section, const QString& key);

    std::vector<Line> m_preamble; // lines before the first section
    std::vector<Section> m_sections;
    QString m_newDocumentBreak;
    QString m_lineBreak;
    bool m_bom = false;
};
