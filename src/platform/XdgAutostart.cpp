#include "platform/XdgAutostart.h"

#include "platform/Environment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace platform {

namespace {

// A value of a desktop entry: backslash and line breaks must be escaped or the line would end.
QString escapeValue(const QString& value)
{
    QString out;
    for (const QChar c : value) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else
            out += c;
    }
    return out;
}

// One argument of an Exec line: quoted when it holds a reserved character, with the characters
// that stay special inside quotes escaped; a "%" is doubled so it is not taken for a field code.
QString execArgument(const QString& argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = argument.isEmpty();
    for (const QChar c : argument)
        quote = quote || reserved.contains(c);
    QString text;
    for (const QChar c : argument) {
        if (quote && (c == u'"' || c == u'`' || c == u'$' || c == u'\\'))
            text += u'\\';
        text += c;
        if (c == u'%')
            text += u'%';
    }
    return quote ? u'"' + text + u'"' : text;
}

} // namespace

XdgAutostart::XdgAutostart(const QString& folder) : m_folder(folder) {}

QString XdgAutostart::folder() const
{
    return m_folder.isEmpty() ? userConfigFolder() + QStringLiteral("/autostart") : m_folder;
}

QString XdgAutostart::safeFileName(const QString& entryName)
{
    QString name;
    for (const QChar c : entryName)
        name += (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control) ? u'_' : c;
    name = name.trimmed();
    while (name.startsWith(u'.'))
        name[0] = u'_';
    if (name.isEmpty())
        name = QStringLiteral("autostart");
    return name.left(200);
}

QString XdgAutostart::entryFile(const QString& entryName) const
{
    return folder() + u'/' + safeFileName(entryName) + QStringLiteral(".desktop");
}

QByteArray XdgAutostart::entryText(const QString& entryName, const QString& executable, const QStringList& arguments)
{
    QString exec = execArgument(executable);
    for (const QString& argument : arguments)
        exec += u' ' + execArgument(argument);
    QString text = QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=") + escapeValue(entryName) + u'\n';
    text += QStringLiteral("TryExec=") + escapeValue(executable) + u'\n';
    text += QStringLiteral("Exec=") + escapeValue(exec) + u'\n';
    text += QStringLiteral("Terminal=false\n");
    return text.toUtf8();
}

bool XdgAutostart::setEnabled(const QString& entryName, const QString& executable, const QStringList& arguments,
                              bool enable, QString* error)
{
    const QString file = entryFile(entryName);
    if (!enable) {
        if (!QFileInfo::exists(file) || QFile::remove(file))
            return true;
        if (error)
            *error = QStringLiteral("Unable to delete %1").arg(file);
        return false;
    }
    if (!QDir().mkpath(folder())) {
        if (error)
            *error = QStringLiteral("Unable to create the folder %1").arg(folder());
        return false;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(entryText(entryName, executable, arguments)) < 0 ||
        !out.commit()) {
        if (error)
            *error = QStringLiteral("Unable to write to %1: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

bool XdgAutostart::isEnabled(const QString& entryName) const
{
    return QFileInfo::exists(entryFile(entryName));
}

} // namespace platform
