#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class TLanguageEngine;

// The "Change &Language" submenu of the main window. Usage (main window, first show):
//     m_languageMenu = new LanguageMenu(miLanguage, engine, this);
//     m_languageMenu->Fill();
// Fill puts one entry per language file at the top of the submenu, in descending order, above
// whatever the submenu already holds (the separator and "&More Languages..."), and hides the
// submenu when there is no language file. Every opening of the submenu renews the check marks;
// choosing an entry calls SetLanguage with that language's name.
class LanguageMenu : public QObject
{
    Q_OBJECT
public:
    /// menu: the submenu; engine: the program's language engine. Both outlive this object.
    LanguageMenu(QMenu* menu, TLanguageEngine& engine, QObject* parent = nullptr);

    /// Builds the language entries (FillLanguageMenuItem); returns their number.
    int Fill();
    /// Checks exactly the entry of the current language (acLanguageExecute).
    void UpdateChecks();
    /// The language entries, top to bottom.
    QList<QAction*> Entries() const;

private:
    void entryClicked(QAction* entry);

    QPointer<QMenu> m_menu;
    TLanguageEngine& m_engine;
    QList<QPointer<QAction>> m_entries;
};
