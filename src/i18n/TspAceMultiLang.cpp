#include "i18n/TspAceMultiLang.h"

#include "i18n/TPropertyMap.h"
#include "i18n/TspAceMultiLangConfig.h"
#include "i18n/TspAceMultiLangData.h"

#include <QHash>
#include <QMap>

namespace {

bool isLanguageComponent(const QObject* o)
{
    return qobject_cast<const TspAceMultiLang*>(o) || qobject_cast<const TspAceMultiLangData*>(o) ||
           qobject_cast<const TspAceMultiLangConfig*>(o);
}

// A child that carries its own translator is another window (a dialog owned by this one); its
// texts come from its own section, so its subtree is left to it.
bool hasOwnTranslator(const QObject* o)
{
    for (const QObject* child : o->children()) {
        if (qobject_cast<const TspAceMultiLang*>(child))
            return true;
    }
    return false;
}

// Children in creation order, depth first, like the component list of a designed window. Guarded,
// because writing a text may delete a widget's internal helpers (a label's text control, say).
void collectComponents(const QObject* parent, QList<QPointer<QObject>>& out)
{
    for (QObject* child : parent->children()) {
        if (isLanguageComponent(child) || hasOwnTranslator(child))
            continue;
        out.append(child);
        collectComponents(child, out);
    }
}

} // namespace

TspAceMultiLang::TspAceMultiLang(QObject* window) : QObject(window)
{
    setObjectName(QStringLiteral("smLanguage"));
}

TspAceMultiLang::~TspAceMultiLang()
{
    if (m_data)
        m_data->detach(this);
}

void TspAceMultiLang::SetData(TspAceMultiLangData* data)
{
    if (m_data == data)
        return;
    if (m_data)
        m_data->detach(this);
    m_data = data;
    if (m_data)
        m_data->attach(this);
}

void TspAceMultiLang::Loaded()
{
    if (!m_config || m_config->AutoApply)
        ApplyLanguage();
}

QString TspAceMultiLang::SectionOf(const QObject* window)
{
    if (!window)
        return QString();
    QString name = QString::fromLatin1(window->metaObject()->className());
    const qsizetype colons = name.lastIndexOf(QLatin1String("::"));
    if (colons >= 0)
        name = name.mid(colons + 2);
    return name;
}

void TspAceMultiLang::ApplyLanguage()
{
    if (!m_data)
        return;
    QObject* window = Window();
    if (window) {
        const QString section = SectionOf(window);

        // Group the section's keys by component, so each component only visits its own entries.
        // The keys of both data objects count, since a look-up falls back to the default data.
        QHash<QString, QMap<QString, QString>> pathsByComponent; // lower name -> (lower path -> path)
        auto addKeys = [&](const TspAceMultiLangData* data) {
            if (!data)
                return;
            for (const QString& key : data->SectionKeys(section)) {
                const qsizetype dot = key.indexOf(QLatin1Char('.'));
                if (dot <= 0 || dot == key.size() - 1)
                    continue;
                const QString path = key.mid(dot + 1);
                pathsByComponent[key.left(dot).toLower()].insert(path.toLower(), path);
            }
        };
        addKeys(m_defaultData);
        addKeys(m_data);

        if (!pathsByComponent.isEmpty()) {
            if (!window->objectName().isEmpty())
                applyToComponent(window, section, pathsByComponent.value(window->objectName().toLower()).values(),
                                 true);
            QList<QPointer<QObject>> components;
            collectComponents(window, components);
            for (const QPointer<QObject>& guarded : components) {
                QObject* component = guarded.data();
                // Objects created at run time without a name are never translated.
                if (!component || component->objectName().isEmpty())
                    continue;
                const auto it = pathsByComponent.constFind(component->objectName().toLower());
                if (it != pathsByComponent.cend())
                    applyToComponent(component, section, it->values(), false);
            }
        }
    }
    emit OnChangeLanguage();
}

void TspAceMultiLang::applyToComponent(QObject* component, const QString& section, const QStringList& paths,
                                       bool isWindow)
{
    // Paths arrive in alphabetical order (case-insensitive), the order in which properties are visited.
    const QPointer<QObject> guard(component);
    const QString name = component->objectName();
    for (const QString& path : paths) {
        if (!guard)
            return;
        if (path.compare(QLatin1String("Name"), Qt::CaseInsensitive) == 0)
            continue; // a component is never renamed by a language
        QString text;
        if (FindText(section, name, path, text))
            TPropertyMap::Write(component, path, text, isWindow);
    }
}

bool TspAceMultiLang::FindText(const QString& section, const QString& componentName, const QString& propertyPath,
                               QString& text) const
{
    if (m_data && m_data->FindText(section, componentName, propertyPath, text))
        return true;
    return m_defaultData && m_defaultData->FindText(section, componentName, propertyPath, text);
}

QString TspAceMultiLang::GetResString(const QString& key) const
{
    QString text = key;
    FindText(QStringLiteral("ResString"), QString(), key, text);
    return text;
}

void TspAceMultiLang::FillStrings(const QString& section, QStringList& list) const
{
    if (m_defaultData)
        m_defaultData->FillStrings(section, list);
    if (m_data)
        m_data->FillStrings(section, list);
}
