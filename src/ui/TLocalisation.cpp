#include "ui/TLocalisation.h"

#include "i18n/TLanguageEngine.h"
#include "i18n/TPropertyMap.h"
#include "i18n/TSkinEngine.h"
#include "i18n/TspAceMultiLang.h"
#include "ui/SkinApplier.h"

#include <QComboBox>
#include <QListWidget>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTreeWidget>

namespace {

TLocalisation* g_localisation = nullptr;

// "Prop[3].ItemProp" -> ("prop", 3, "itemprop")
bool splitCollectionPath(const QString& path, QString& prop, int& index, QString& itemProp)
{
    static const QRegularExpression re(
        QStringLiteral("^([A-Za-z_][A-Za-z0-9_]*)\\[(\\d{1,6})\\]\\.([A-Za-z_][A-Za-z0-9_]*)$"));
    const QRegularExpressionMatch m = re.match(path);
    if (!m.hasMatch())
        return false;
    prop = m.captured(1).toLower();
    index = m.captured(2).toInt();
    itemProp = m.captured(3).toLower();
    return true;
}

QTabWidget* tabWidgetOfPage(QObject* page)
{
    QObject* stack = page->parent();
    if (!qobject_cast<QStackedWidget*>(stack))
        return nullptr;
    return qobject_cast<QTabWidget*>(stack->parent());
}

bool writeWidgetText(QObject* target, const QString& path, const QString& text)
{
    const QString prop = path.toLower();
    if (prop == QLatin1String("items")) {
        const QStringList items = TPropertyMap::SplitLines(text);
        if (auto* combo = qobject_cast<QComboBox*>(target)) {
            // Replacing the entries is not a choice of the user: no change handler may run.
            const QSignalBlocker block(combo);
            const int index = combo->currentIndex();
            combo->clear();
            combo->addItems(items);
            combo->setCurrentIndex(index < combo->count() ? index : -1);
            return true;
        }
        if (auto* list = qobject_cast<QListWidget*>(target)) {
            const QSignalBlocker block(list);
            list->clear();
            list->addItems(items);
            return true;
        }
        return false;
    }
    if (prop == QLatin1String("caption")) {
        if (QTabWidget* tabs = tabWidgetOfPage(target)) {
            const int index = tabs->indexOf(qobject_cast<QWidget*>(target));
            if (index >= 0) {
                tabs->setTabText(index, TPropertyMap::ToQtText(text));
                return true;
            }
        }
        return false;
    }
    QString collection, itemProp;
    int index = 0;
    if (!splitCollectionPath(path, collection, index, itemProp))
        return false;
    if (auto* tabs = qobject_cast<QTabWidget*>(target)) {
        if ((collection == QLatin1String("pages") || collection == QLatin1String("tabs")) && index < tabs->count() &&
            itemProp == QLatin1String("caption")) {
            tabs->setTabText(index, TPropertyMap::ToQtText(text));
            return true;
        }
    }
    if (auto* tree = qobject_cast<QTreeWidget*>(target)) {
        if (collection == QLatin1String("columns") && index < tree->columnCount() &&
            itemProp == QLatin1String("caption")) {
            tree->headerItem()->setText(index, TPropertyMap::ToQtText(text));
            return true;
        }
    }
    if (auto* combo = qobject_cast<QComboBox*>(target)) {
        if (collection == QLatin1String("items") && index < combo->count() &&
            (itemProp == QLatin1String("text") || itemProp == QLatin1String("caption"))) {
            combo->setItemText(index, TPropertyMap::ToQtText(text));
            return true;
        }
    }
    return false;
}

} // namespace

void InstallWidgetTextWriters()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    TPropertyMap::AddWriter(writeWidgetText);
}

TLocalisation::TLocalisation(QObject* engineWindow, const QString& programFolder, SettingWriter writeSetting)
    : m_language(std::make_unique<TLanguageEngine>(engineWindow, programFolder, writeSetting)),
      m_skin(std::make_unique<TSkinEngine>(programFolder, writeSetting))
{
    InstallWidgetTextWriters();
    m_applier = std::make_unique<SkinApplier>(*m_skin);
    // After every application of a language the skin texts take the language's "skinres" entries.
    TLanguageEngine* language = m_language.get();
    TSkinEngine* skin = m_skin.get();
    connect(m_language->smLanguage(), &TspAceMultiLang::OnChangeLanguage, this,
            [language, skin] { skin->TakeLanguageTexts(*language); });
    m_language->smLanguage()->Loaded();
    g_localisation = this;
}

TLocalisation::~TLocalisation()
{
    if (g_localisation == this)
        g_localisation = nullptr;
    m_applier.reset();
}

QString TLocalisation::LangText(const QString& key) const
{
    return m_language->LangText(key);
}

void TLocalisation::LangStrings(const QString& section, QStringList& list) const
{
    m_language->LangStrings(section, list);
}

void TLocalisation::SetLanguage(const QString& name)
{
    m_language->SetLanguage(name);
}

void TLocalisation::SetSkin(const QString& name)
{
    m_skin->SetSkin(name);
}

QString TLocalisation::GetCurrentSkin() const
{
    return m_skin->GetCurrentSkin();
}

TLocalisation* Localisation()
{
    return g_localisation;
}

TspAceMultiLang* AttachWindowTranslator(QObject* window, const std::function<void()>& onChangeLanguage)
{
    return g_localisation ? g_localisation->Language().CreateTranslator(window, onChangeLanguage) : nullptr;
}
