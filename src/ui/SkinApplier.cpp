#include "ui/SkinApplier.h"

#include "i18n/TSkinEngine.h"
#include "ui/TMessageDialog.h"

#include <QApplication>
#include <QHash>
#include <QTranslator>

namespace {

// Qt's own dialogs and edit menus ask for their captions through the translation system; this
// answers those that the skin texts cover, so they follow the language like the program's dialogs.
class SkinTextTranslator : public QTranslator
{
public:
    explicit SkinTextTranslator(QHash<QString, QString> texts) : m_texts(std::move(texts)) {}

    QString translate(const char* context, const char* sourceText, const char* = nullptr, int = -1) const override
    {
        if (!context || !sourceText)
            return QString();
        return m_texts.value(QLatin1String(context) + QLatin1Char('|') + QLatin1String(sourceText));
    }
    bool isEmpty() const override { return m_texts.isEmpty(); }

private:
    QHash<QString, QString> m_texts;
};

struct QtText
{
    const char* context;
    const char* source;
    const char* skinName;
};

const QtText kQtTexts[] = {
    {"QPlatformTheme", "OK", "MSG_BTN_OK"},
    {"QPlatformTheme", "Cancel", "MSG_BTN_CANCEL"},
    {"QPlatformTheme", "&Yes", "MSG_BTN_YES"},
    {"QPlatformTheme", "&No", "MSG_BTN_NO"},
    {"QPlatformTheme", "Abort", "MSG_BTN_ABORT"},
    {"QPlatformTheme", "Retry", "MSG_BTN_RETRY"},
    {"QPlatformTheme", "Ignore", "MSG_BTN_IGNORE"},
    {"QPlatformTheme", "Yes to &All", "MSG_BTN_YESTOALL"},
    {"QPlatformTheme", "N&o to All", "MSG_BTN_NOTOALL"},
    {"QPlatformTheme", "Help", "MSG_BTN_HELP"},
    {"QPlatformTheme", "Open", "MSG_BTN_OPEN"},
    {"QPlatformTheme", "Save", "MSG_BTN_SAVE"},
    {"QPlatformTheme", "Close", "MSG_BTN_CLOSE"},
    {"QLineEdit", "&Undo", "EDIT_UNDO"},
    {"QLineEdit", "Cu&t", "EDIT_CUT"},
    {"QLineEdit", "&Copy", "EDIT_COPY"},
    {"QLineEdit", "&Paste", "EDIT_PASTE"},
    {"QLineEdit", "Delete", "EDIT_DELETE"},
    {"QLineEdit", "Select All", "EDIT_SELECTALL"},
    {"QWidgetTextControl", "&Undo", "EDIT_UNDO"},
    {"QWidgetTextControl", "Cu&t", "EDIT_CUT"},
    {"QWidgetTextControl", "&Copy", "EDIT_COPY"},
    {"QWidgetTextControl", "&Paste", "EDIT_PASTE"},
    {"QWidgetTextControl", "Delete", "EDIT_DELETE"},
    {"QWidgetTextControl", "Select All", "EDIT_SELECTALL"},
};

const char* const kDialogTexts[] = {
    "MSG_CAP_SHOWFLAG", "MSG_BTN_OK",      "MSG_BTN_CANCEL", "MSG_BTN_YES",         "MSG_BTN_NO",
    "MSG_BTN_ABORT",    "MSG_BTN_RETRY",   "MSG_BTN_IGNORE", "MSG_BTN_ALL",         "MSG_BTN_NOTOALL",
    "MSG_BTN_YESTOALL", "MSG_CAP_WARNING", "MSG_CAP_ERROR",  "MSG_CAP_INFORMATION", "MSG_CAP_CONFIRM",
};

} // namespace

SkinApplier::SkinApplier(TSkinEngine& engine, QObject* parent) : QObject(parent), m_engine(&engine)
{
    connect(&engine, &TSkinEngine::SkinApplied, this, &SkinApplier::applyStyle);
    connect(&engine, &TSkinEngine::ResourceStringsChanged, this, &SkinApplier::applyTexts);
    applyStyle(engine.StyleSheet());
    applyTexts();
}

SkinApplier::~SkinApplier()
{
    if (m_translator)
        QCoreApplication::removeTranslator(m_translator.get());
}

QString SkinApplier::AppliedStyleSheet() const
{
    return qApp ? qApp->styleSheet() : QString();
}

void SkinApplier::applyStyle(const QString& styleSheet)
{
    // The application's style sheet reaches every window, those open now and those opened later.
    if (qApp)
        qApp->setStyleSheet(styleSheet);
}

void SkinApplier::applyTexts()
{
    if (!m_engine)
        return;
    for (const char* name : kDialogTexts) {
        const QString key = QString::fromLatin1(name);
        TMessageDialog::SetResourceString(key, m_engine->ResourceString(key));
    }
    QHash<QString, QString> texts;
    for (const QtText& t : kQtTexts) {
        texts.insert(QLatin1String(t.context) + QLatin1Char('|') + QLatin1String(t.source),
                     m_engine->ResourceString(QString::fromLatin1(t.skinName)));
    }
    auto translator = std::make_unique<SkinTextTranslator>(std::move(texts));
    if (m_translator)
        QCoreApplication::removeTranslator(m_translator.get());
    m_translator = std::move(translator);
    QCoreApplication::installTranslator(m_translator.get());
}
