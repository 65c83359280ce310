#pragma once

#include "ui/TLanguageProvider.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class SkinApplier;
class TLanguageEngine;
class TSkinEngine;
class TspAceMultiLang;

// Languages and skins as the engine carries them: the language engine (smLanguage,
// smdCurrent, smdDefault, spcConfig), the skin data with the built-in skin and the skin texts
// (spSkinData, spCompressedStoredSkin, spResourceStrData), and the application of both to the
// widgets. The engine creates one at start and plugs it into the application services as their
// TLanguageProvider.
class TLocalisation : public QObject, public TLanguageProvider
{
    Q_OBJECT
public:
    /// Stores one user setting (name, value): the settings store's WriteString.
    using SettingWriter = std::function<void(const QString& name, const QString& value)>;

    /// engineWindow: the engine window (its own texts are translated too); programFolder: where
    /// langs/ and skins/ lie, ending with "/".
    TLocalisation(QObject* engineWindow, const QString& programFolder, SettingWriter writeSetting);
    ~TLocalisation() override;

    TLanguageEngine& Language() const { return *m_language; }
    TSkinEngine& Skin() const { return *m_skin; }

    QString LangText(const QString& key) const override;
    void LangStrings(const QString& section, QStringList& list) const override;
    void SetLanguage(const QString& name) override;

    /// SetSkin of the skin selection: skins/<name>.skn, else the built-in skin; stores the choice.
    void SetSkin(const QString& name);
    /// Empty while the built-in skin shows, else the skin file's name.
    QString GetCurrentSkin() const;

private:
    std::unique_ptr<TLanguageEngine> m_language;
    std::unique_ptr<TSkinEngine> m_skin;
    std::unique_ptr<SkinApplier> m_applier;
};

/// The program's localisation while it exists (created by the engine), else null.
TLocalisation* Localisation();

/// Gives a window its translator ("smLanguage"). Call it in the window's constructor once every
/// child exists with its object name, and before the window sets texts of its own at run time
/// (FormCreate): the window then opens in the current language and follows every change.
/// onChangeLanguage runs after every application, the first included (the window's
/// smLanguageChangeLanguage, e.g. the main window's caption "strAppName  version").
/// Returns null while there is no localisation.
TspAceMultiLang* AttachWindowTranslator(QObject* window, const std::function<void()>& onChangeLanguage = {});

/// Teaches the language engine the widget texts that are not plain Qt properties (combo-box and
/// list items, tab captions, tree-column captions). Safe to call more than once.
void InstallWidgetTextWriters();
