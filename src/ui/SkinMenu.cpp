#include "ui/SkinMenu.h"

#include "i18n/TSkinEngine.h"

#include <QAction>
#include <QMenu>

SkinMenu::SkinMenu(QMenu* menu, TSkinEngine& engine, QObject* parent) : QObject(parent), m_menu(menu), m_engine(engine)
{
    if (!m_menu)
        return;
    connect(m_menu, &QMenu::aboutToShow, this, &SkinMenu::UpdateChecks);
    m_default = m_menu->findChild<QAction*>(QStringLiteral("miDefaultSkin"), Qt::FindDirectChildrenOnly);
    if (!m_default) {
        // A designed entry: it has a name, so languages may translate its caption.
        m_default = new QAction(QStringLiteral("&Default"), m_menu);
        m_default->setObjectName(QStringLiteral("miDefaultSkin"));
        const QList<QAction*> existing = m_menu->actions();
        m_menu->insertAction(existing.isEmpty() ? nullptr : existing.first(), m_default);
    }
    m_default->setCheckable(true);
    QAction* defaultEntry = m_default;
    connect(defaultEntry, &QAction::triggered, this, [this, defaultEntry] { entryClicked(defaultEntry); });
}

int SkinMenu::Fill()
{
    if (!m_menu)
        return 0;
    for (const auto& entry : m_entries)
        delete entry.data();
    m_entries.clear();

    QStringList names;
    const int count = m_engine.GetSkinList(names);
    if (count == 0) {
        m_menu->menuAction()->setVisible(false);
        return 0;
    }
    m_menu->menuAction()->setVisible(true);
    for (const QString& name : names) {
        auto* entry = new QAction(name, m_menu); // unnamed: never translated
        entry->setCheckable(true);
        connect(entry, &QAction::triggered, this, [this, entry] { entryClicked(entry); });
        m_menu->addAction(entry);
        m_entries.append(entry);
    }
    UpdateChecks();
    return count;
}

void SkinMenu::UpdateChecks()
{
    const QString current = m_engine.GetCurrentSkin();
    if (m_default)
        m_default->setChecked(current.isEmpty());
    for (const auto& entry : m_entries) {
        if (entry)
            entry->setChecked(entry->text().compare(current, Qt::CaseInsensitive) == 0);
    }
}

QList<QAction*> SkinMenu::Entries() const
{
    QList<QAction*> list;
    for (const auto& entry : m_entries) {
        if (entry)
            list.append(entry.data());
    }
    return list;
}

void SkinMenu::entryClicked(QAction* entry)
{
    m_engine.SetSkin(entry->text());
    UpdateChecks();
}
