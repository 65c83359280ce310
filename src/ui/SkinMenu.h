#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class TSkinEngine;

// The "Change &Skin" submenu of the main window. Usage (main window, first show):
//     m_skinMenu = new SkinMenu(miSkin, skinEngine, this);
//     m_skinMenu->Fill();
// The submenu starts with the entry "&Default" (the child action named "miDefaultSkin" when the
// menu has one, else it is created), followed by one entry per skin file in ascending order. With
// no skin file the whole submenu is hidden. Every opening renews the check marks; choosing an entry
// calls SetSkin with the entry's caption ("&Default" names no file, so it shows the built-in skin).
class SkinMenu : public QObject
{
    Q_OBJECT
public:
    /// menu: the submenu; engine: the program's skin engine. Both outlive this object.
    SkinMenu(QMenu* menu, TSkinEngine& engine, QObject* parent = nullptr);

    /// Builds the skin entries (FillSkinMenuItem); returns their number.
    int Fill();
    /// Checks "&Default" while the built-in skin shows, else the entry of the current skin (acSkinExecute).
    void UpdateChecks();
    /// The "&Default" entry.
    QAction* DefaultEntry() const { return m_default; }
    /// The skin entries, top to bottom (without "&Default").
    QList<QAction*> Entries() const;

private:
    void entryClicked(QAction* entry);

    QPointer<QMenu> m_menu;
    TSkinEngine& m_engine;
    QPointer<QAction> m_default;
    QList<QPointer<QAction>> m_entries;
};
