#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// Where the property names of language files meet the properties of Qt objects. Language files
// speak of Caption, Hint, Items, Lines and Text; Qt objects have text, title, windowTitle, toolTip,
// plainText and so on. Everything that can be reached through the meta-object system is handled
// here; widget kinds whose texts are not properties (combo-box items, tab captions) are handled by
// writers that the user-interface layer adds with AddWriter.
class TPropertyMap
{
public:
    /// A writer returns true when it has handled the path for that object.
    using Writer = std::function<bool(QObject* target, const QString& path, const QString& text)>;

    /// Writes a language text into an object. path is a property name ("Caption") or a collection
    /// item ("Columns[1].Caption"); isWindow tells that the object is the translated window itself.
    /// Returns whether anything was written.
    static bool Write(QObject* target, const QString& path, const QString& text, bool isWindow);

    /// Adds a writer that is tried before the meta-object rules (last added first).
    static void AddWriter(const Writer& writer);

    /// Splits a language text into the items of a list: one item per line (CR LF, LF or CR).
    static QStringList SplitLines(const QString& text);
    /// A language text as a single Qt text: CR LF and CR become LF.
    static QString ToQtText(const QString& text);
};
