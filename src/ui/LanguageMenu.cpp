#include "ui/LanguageMenu.h"

#include "i18n/TLanguageEngine.h"

#include <QAction>
#include <QMenu>

LanguageMenu::LanguageMenu(QMenu* menu, TLanguageEngine& engine, QObject* parent)
    : QObject(parent), m_menu(menu), m_engine(engine)
{
    if (m_menu)
        connect(m_menu, &QMenu::aboutToShow, this, &LanguageMenu::UpdateChecks);
}

int LanguageMenu::Fill()
{
    if (!m_menu)
        return 0;
    for (const auto& entry : m_entries)
        delete entry.data();
    m_entries.clear();

    QStringList names, displayNames;
    const int count = m_engine.GetLanguageList(names, displayNames);
    if (count == 0) {
        m_menu->menuAction()->setVisible(false);
        return 0;
    }
    m_menu->menuAction()->setVisible(true);
    for (int i = 0; i < count; ++i) {
        // Entries carry no object name, so no language ever rewrites them.
        auto* entry = new QAction(displayNames.at(i), m_menu);
        entry->setToolTip(names.at(i)); // the hint holds the language name itself
        entry->setData(names.at(i));
        entry->setCheckable(true);
        connect(entry, &QAction::triggered, this, [this, entry] { entryClicked(entry); });
        // Each entry goes to the top, so the ascending list ends up in descending order.
        const QList<QAction*> existing = m_menu->actions();
        m_menu->insertAction(existing.isEmpty() ? nullptr : existing.first(), entry);
        m_entries.prepend(entry);
    }
    UpdateChecks();
    return count;
}

void LanguageMenu::UpdateChecks()
{
    const QString current = m_engine.CurrentLanguage();
    for (const auto& entry : m_entries) {
        if (entry)
            entry->setChecked(entry->data().toString().compare(current, Qt::CaseInsensitive) == 0);
    }
}

QList<QAction*> LanguageMenu::Entries() const
{
    QList<QAction*> list;
    for (const auto& entry : m_entries) {
        if (entry)
            list.append(entry.data());
    }
    return list;
}

void LanguageMenu::entryClicked(QAction* entry)
{
    m_engine.SetLanguage(entry->data().toString());
    UpdateChecks();
}
