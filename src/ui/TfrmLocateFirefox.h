#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class TBrowserRoutines;
class TEngineServices;
class TSettings;

// Asks the user for the Firefox executable when none was found, stores it and installs the
// extension with it.
class TfrmLocateFirefox : public QDialog
{
    Q_OBJECT

public:
    // settings keeps the chosen file; services shows the outcome; routines install the extension. All
    // must outlive the dialog.
    TfrmLocateFirefox(TSettings& settings, TEngineServices& services, TBrowserRoutines& routines,
                      QWidget* parent = nullptr);

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

    TSettings& m_settings;
    TEngineServices& m_services;
    TBrowserRoutines& m_routines;
    std::function<QString()> m_chooseFile;
};
