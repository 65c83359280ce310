#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class TEngineServices;

// The About box: product name, version line, a notice and the logo. Language files address it
// under the section "TfrmAboutForm"; the version line's pattern comes from there.
class TfrmAboutForm : public QDialog
{
    Q_OBJECT

public:
    // version: the program's version text; texts: the language data, which must outlive the dialog.
    TfrmAboutForm(const QString& version, const TEngineServices& texts, QWidget* parent = nullptr);

    // The version line's pattern from the language data ("Version %1" built in), or empty.
    static QString VersionPattern(const TEngineServices& texts);
    // The translator line for the current language, empty for English or an unnamed language.
    static QString TranslatorText(const TEngineServices& texts);

    QLabel* lbAbout = nullptr;
    QLabel* lbVersion = nullptr;
    QLabel* lbCopyRight = nullptr;
    QLabel* lbTranslater = nullptr;
    QLabel* imgLogo = nullptr;
    QPushButton* btnOk = nullptr;

private:
    void FormCreate();

    QString m_version;
    const TEngineServices& m_texts;
};
