#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

#include "i18n/TspAceMultiLang.h"

// The language engine of the hidden engine window: the current and default language data, the
// shared translator configuration, the engine window's own translator and the choice of language.
// Every other window gets its translator from CreateTranslator, so all of them follow SetLanguage.
class TLanguageEngine : public QObject
{
    Q_OBJECT
public:
    /// Stores one user setting (name, value); the engine window passes the settings store's WriteString.
    using SettingWriter = std::function<void(const QString& name, const QString& value)>;

    /// programFolder holds the folder "langs" and ends with "/"; engineWindow (may be null) is the
    /// window whose own texts the engine translator writes.
    TLanguageEngine(QObject* engineWindow, const QString& programFolder, SettingWriter writeSetting);
    ~TLanguageEngine() override;

    /// The current language (built-in English until a file is loaded).
    TspAceMultiLangData* smdCurrent() const { return m_current; }
    /// The fallback language; empty in this program.
    TspAceMultiLangData* smdDefault() const { return m_default; }
    TspAceMultiLangConfig* spcConfig() const { return m_config; }
    /// The engine window's translator; its OnChangeLanguage follows every change of language.
    TspAceMultiLang* smLanguage() const { return m_translator; }

    /// Creates, attaches and (with AutoApply) applies the translator of a window; call it once the
    /// window's children have their object names, before texts are set at run time. The window owns
    /// it. onChangeLanguage (optional) runs after every application, the first one included.
    TspAceMultiLang* CreateTranslator(QObject* window, const std::function<void()>& onChangeLanguage = {}) const;

    /// The name last passed to SetLanguage.
    QString CurrentLanguage() const { return m_currentLanguage; }
    /// Loads langs/<name>.lan when it exists (re-translating every window) and stores the name
    /// in the setting "Language" in every case.
    void SetLanguage(const QString& name);
    /// Fills the language names (ascending, without case) and their menu texts ("Name (testver)");
    /// returns their number.
    int GetLanguageList(QStringList& names, QStringList& displayNames) const;

    /// The text of a message key in section ResString, or the key itself.
    QString LangText(const QString& key) const;
    /// Copies a section into a Name=Value list: default language first, current language over it.
    void LangStrings(const QString& section, QStringList& list) const;

    QString ProgramFolder() const { return m_programFolder; }
    /// The file of a language: <program folder>/langs/<name>.lan.
    QString LanguageFile(const QString& name) const;

private:
    QString m_programFolder;
    SettingWriter m_writeSetting;
    QString m_currentLanguage;
    TspAceMultiLangData* m_current;
    TspAceMultiLangData* m_default;
    TspAceMultiLangConfig* m_config;
    QPointer<TspAceMultiLang> m_translator;
};
