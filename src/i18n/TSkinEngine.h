#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QTemporaryDir;
class TLanguageEngine;
struct TSkinFile;

// The skin shared by every window, the choice of skin and the skin texts. The engine only decides
// which style sheet is current; the user-interface layer (SkinApplier) puts it on the application
// whenever SkinApplied is emitted, so every open window and every later one takes it.
class TSkinEngine : public QObject
{
    Q_OBJECT
public:
    /// Stores one user setting (name, value); the engine window passes the settings store's WriteString.
    using SettingWriter = std::function<void(const QString& name, const QString& value)>;

    /// The name of the skin compiled into the program.
    static QString BuiltinSkinName() { return QStringLiteral("ZaziRoraru2.skn"); }
    /// The bytes of the built-in skin file.
    static QByteArray BuiltinSkinData();

    /// programFolder holds the folder "skins" and ends with "/". The built-in skin is current at once.
    TSkinEngine(const QString& programFolder, SettingWriter writeSetting, QObject* parent = nullptr);
    ~TSkinEngine() override;

    /// Shows skins/<name>.skn when that file exists, else the built-in skin; stores the choice
    /// (the name, or empty for the built-in skin) in the setting "Skin".
    void SetSkin(const QString& name);
    /// Empty while the built-in skin is shown, otherwise the name of the skin file last set.
    QString GetCurrentSkin() const { return m_currentSkin; }
    /// The names of the skin files (ascending, without case, "Default" left out); returns their number.
    int GetSkinList(QStringList& list) const;

    /// Applies the built-in skin (true) or forgets it without changing the look (false).
    void SetCompressedStoredSkin(bool builtin);
    /// Reads a skin file and applies it when it holds skin data; returns whether it did.
    bool LoadCompressedSkinFile(const QString& fileName);
    /// The style sheet now shown (image references resolved to files).
    QString StyleSheet() const { return m_styleSheet; }

    /// The skin texts as Name=Text pairs; change them, then call ResourceStrDataChanged.
    QStringList& ResStrings() { return m_resStrings; }
    /// A skin text by name: the current list's value, else the English default.
    QString ResourceString(const QString& name) const;
    /// Makes every window take the present texts (emits ResourceStringsChanged).
    void ResourceStrDataChanged();
    /// The reaction to a change of language: copies the language's "skinres" section over the texts.
    void TakeLanguageTexts(const TLanguageEngine& language);

    QString SkinFile(const QString& name) const;

signals:
    /// A skin has been applied; styleSheet is what every window must show.
    void SkinApplied(const QString& styleSheet);
    /// The skin texts have changed.
    void ResourceStringsChanged();

private:
    bool apply(const QByteArray& bytes);
    void applyDecoded(const TSkinFile& skin);

    QString m_programFolder;
    SettingWriter m_writeSetting;
    QString m_currentSkin;
    QString m_styleSheet;
    QStringList m_resStrings;
    std::unique_ptr<QTemporaryDir> m_imageDir;
};
