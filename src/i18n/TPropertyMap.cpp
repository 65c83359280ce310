#include "i18n/TPropertyMap.h"

#include <QMetaProperty>
#include <QRegularExpression>
#include <QVector>

namespace {

QVector<TPropertyMap::Writer>& writers()
{
    static QVector<TPropertyMap::Writer> list;
    return list;
}

// The object's property of that name (any letter case), or an invalid property.
QMetaProperty findProperty(const QObject* target, const char* name)
{
    const QMetaObject* mo = target->metaObject();
    const int exact = mo->indexOfProperty(name);
    if (exact >= 0)
        return mo->property(exact);
    for (int i = 0; i < mo->propertyCount(); ++i) {
        if (qstricmp(mo->property(i).name(), name) == 0)
            return mo->property(i);
    }
    return QMetaProperty();
}

bool isType(const QMetaProperty& p, QMetaType::Type type)
{
    return p.isValid() && p.isWritable() && p.metaType().id() == type;
}

// Sets the first of the named text properties that the object has.
bool writeText(QObject* target, std::initializer_list<const char*> names, const QString& text)
{
    for (const char* name : names) {
        const QMetaProperty p = findProperty(target, name);
        if (isType(p, QMetaType::QString))
            return p.write(target, text);
    }
    return false;
}

bool writeList(QObject* target, std::initializer_list<const char*> names, const QStringList& items)
{
    for (const char* name : names) {
        const QMetaProperty p = findProperty(target, name);
        if (isType(p, QMetaType::QStringList))
            return p.write(target, items);
    }
    return false;
}

} // namespace

QStringList TPropertyMap::SplitLines(const QString& text)
{
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList items = text.split(lineBreak);
    // A break after the last item ends that item; it does not start another one.
    if (!items.isEmpty() && items.last().isEmpty())
        items.removeLast();
    return items;
}

QString TPropertyMap::ToQtText(const QString& text)
{
    QString out = text;
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

void TPropertyMap::AddWriter(const Writer& writer)
{
    writers().prepend(writer);
}

bool TPropertyMap::Write(QObject* target, const QString& path, const QString& text, bool isWindow)
{
    if (!target)
        return false;
    for (const Writer& writer : writers()) {
        if (writer(target, path, text))
            return true;
    }
    if (path.contains(QLatin1Char('[')))
        return false; // collection items need a writer that knows the widget
    if (path.compare(QLatin1String("Name"), Qt::CaseInsensitive) == 0 ||
        path.compare(QLatin1String("objectName"), Qt::CaseInsensitive) == 0)
        return false; // a language never renames what it translates

    const QString prop = path.toLower();
    const QString single = ToQtText(text);
    if (prop == QLatin1String("caption")) {
        if (isWindow)
            return writeText(target, {"windowTitle"}, single);
        return writeText(target, {"title", "text", "windowTitle"}, single);
    }
    if (prop == QLatin1String("hint"))
        return writeText(target, {"toolTip"}, single);
    if (prop == QLatin1String("text"))
        return writeText(target, {"text", "plainText"}, single);
    if (prop == QLatin1String("items"))
        return writeList(target, {"items"}, SplitLines(text));
    if (prop == QLatin1String("lines")) {
        const QStringList lines = SplitLines(text);
        return writeList(target, {"lines"}, lines) ||
               writeText(target, {"plainText", "text"}, lines.join(QLatin1Char('\n')));
    }
    // Any other text or list property is addressed by its own Qt name (e.g. placeholderText).
    const QByteArray name = path.toLatin1();
    const QMetaProperty p = findProperty(target, name.constData());
    if (isType(p, QMetaType::QString))
        return p.write(target, single);
    if (isType(p, QMetaType::QStringList))
        return p.write(target, SplitLines(text));
    return false;
}
