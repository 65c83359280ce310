#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "i18n/TspAceMultiLangConfig.h"
#include "i18n/TspAceMultiLangData.h"

// The translator of one window. It lives as a child of its window (object name "smLanguage") and
// writes the current language's texts into the window and its named child objects: the window's
// class name is the section, "objectName.Property" the key. Property names are those of the
// language files (Caption, Hint, Items, Lines, Text, ...); TPropertyMap turns them into the Qt
// objects' own properties.
class TspAceMultiLang : public QObject
{
    Q_OBJECT
public:
    /// Creates the translator of a window; the window owns it.
    explicit TspAceMultiLang(QObject* window);
    ~TspAceMultiLang() override;

    /// The window whose texts this translator writes.
    QObject* Window() const { return parent(); }

    TspAceMultiLangData* Data() const { return m_data; }
    /// Attaches to a language data object (and detaches from the previous one); nullptr only detaches.
    void SetData(TspAceMultiLangData* data);
    TspAceMultiLangData* DefaultData() const { return m_defaultData; }
    void SetDefaultData(TspAceMultiLangData* data) { m_defaultData = data; }
    TspAceMultiLangConfig* Config() const { return m_config; }
    void SetConfig(TspAceMultiLangConfig* config) { m_config = config; }

    /// To be called once the window has built its children: applies the language when AutoApply is on.
    void Loaded();

    /// Writes the texts into the window and every named child, then emits OnChangeLanguage.
    /// Does nothing without current data.
    void ApplyLanguage();

    /// Looks the key up in the current data, then in the default data.
    bool FindText(const QString& section, const QString& componentName, const QString& propertyPath,
                  QString& text) const;
    /// The entry of the key in section "ResString", or the key itself.
    QString GetResString(const QString& key) const;
    /// Copies the section into a Name=Value list: default data first, current data over it.
    void FillStrings(const QString& section, QStringList& list) const;

    /// The section of a window: its class name without any namespace.
    static QString SectionOf(const QObject* window);

signals:
    /// Emitted after every application of the language, the first one included.
    void OnChangeLanguage();

private:
    void applyToComponent(QObject* component, const QString& section, const QStringList& paths, bool isWindow);

    QPointer<TspAceMultiLangData> m_data;
    QPointer<TspAceMultiLangData> m_defaultData;
    QPointer<TspAceMultiLangConfig> m_config;
};
