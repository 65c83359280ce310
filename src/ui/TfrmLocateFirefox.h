#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class TBrowserRoutines;

// Asks the user for the Firefox executable when none was found, stores it and installs the
// extension with it.
class TfrmLocateFirefox : public QDialog
{
    Q_OBJECT

public:
    // routines: where the extension is installed through (must outlive the dialog).
    explicit TfrmLocateFirefox(TBrowserRoutines& routines, QWidget* parent = nullptr);

    // Replaces the file dialog (returns the chosen file, empty when cancelled); for automation.
    void setFileChooser(std::function<QString()> chooser) { m_chooseFile = std::move(chooser); }

    QLabel* lbText = nullptr;
    QPushButton* btnP5Brower = nullptr;
    QPushButton* btnP5Cancel = nullptr;

public slots:
    // Lets the user pick Firefox; installs the extension with it and closes on success.
    void btnP5BrowerClick();

private:
    QString runFileDialog();

    TBrowserRoutines& m_routines;
    std::function<QString()> m_chooseFile;
};
