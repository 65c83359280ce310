#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The About box: product name, version line, a notice and the logo. Language files address it
// under the section "TfrmAboutForm"; the version line's pattern comes from there.
class TfrmAboutForm : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmAboutForm(QWidget* parent = nullptr);

    // The version line's pattern from the language data ("Version %1" built in), or empty.
    static QString VersionPattern();
    // The translator line for the current language, empty for English or an unnamed language.
    static QString TranslatorText();

    QLabel* lbAbout = nullptr;
    QLabel* lbVersion = nullptr;
    QLabel* lbCopyRight = nullptr;
    QLabel* lbTranslater = nullptr;
    QLabel* imgLogo = nullptr;
    QPushButton* btnOk = nullptr;

private:
    void FormCreate();
};
