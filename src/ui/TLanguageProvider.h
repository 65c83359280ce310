#pragma once

#include <QString>
#include <QStringList>

// The language engine as the engine window sees it. Until one is plugged in, every key reads as
// itself and no language is loaded.
class TLanguageProvider
{
public:
    virtual ~TLanguageProvider() = default;

    // The text of a key in section ResString (current language, then default), else the key.
    virtual QString LangText(const QString& key) const = 0;
    // Every Name=Value pair of a section, default language first and current language over it.
    virtual void LangStrings(const QString& section, QStringList& list) const = 0;
    // Loads the named language (langs/<name>.lan) and remembers the choice.
    virtual void SetLanguage(const QString& name) = 0;
};
