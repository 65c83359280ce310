#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class QTranslator;
class TSkinEngine;

// Puts the current skin on the application, so that every open window and every window opened
// later shows it, and hands the skin texts (button captions, edit-menu entries) to the message
// dialog and to Qt's own dialogs. Create one for the program's skin engine; it follows every
// SetSkin and every change of language from then on.
class SkinApplier : public QObject
{
    Q_OBJECT
public:
    /// Applies the engine's present skin and texts at once.
    explicit SkinApplier(TSkinEngine& engine, QObject* parent = nullptr);
    ~SkinApplier() override;

    /// The style sheet now on the application.
    QString AppliedStyleSheet() const;

private:
    void applyStyle(const QString& styleSheet);
    void applyTexts();

    QPointer<TSkinEngine> m_engine;
    std::unique_ptr<QTranslator> m_translator;
};
