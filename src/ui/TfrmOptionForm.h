#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QWidget;
class TBrowserRoutines;
class TEngineServices;
class TSettings;

// What the options dialog asks of the rest of the program. Empty members do nothing.
struct TOptionFormServices
{
    // Writes or removes the log-on entry (the engine window's SetAutoRun).
    std::function<void(bool enable)> SetAutoRun;
    // Posts the all-users restart to the engine window, to be handled after the dialog has closed.
    std::function<void(bool allUsers)> PostAllUsersRestart;
    // Shows the dialog in which the user points to Firefox; null: TfrmLocateFirefox.
    std::function<void(QWidget* parent)> ShowLocateFirefox;
    // The browser routines the Firefox extension is installed through.
    TBrowserRoutines* Routines = nullptr;
};

// "Advance Settings": log-on start, update check, settings folder, don't-show-again reset, the
// browsers that follow hiding and the Firefox extension. Saves only on OK.
class TfrmOptionForm : public QDialog
{
    Q_OBJECT

public:
    // settings: the user settings the dialog shows and saves; messages: the program's message box.
    // Both must outlive the dialog.
    TfrmOptionForm(TSettings& settings, TEngineServices& messages, QWidget* parent = nullptr,
                   TOptionFormServices services = {});

    QTabWidget* pcSetting = nullptr;
    QWidget* tsGeneral = nullptr;
    QWidget* tsBrowser = nullptr;
    QCheckBox* cbAutoRun = nullptr;
    QCheckBox* cbAutoUpdate = nullptr;
    QLabel* lbSettingfor = nullptr;
    QComboBox* cbAllUsers = nullptr;
    QPushButton* btnClearShowAgainFlag = nullptr;
    QLabel* lbBrowser = nullptr;
    QCheckBox* cbIE = nullptr;
    QCheckBox* cbFF = nullptr;
    QCheckBox* cbOpera = nullptr;
    QCheckBox* cbHideHttps = nullptr;
    QCheckBox* cbUseTor = nullptr;
    QCheckBox* cbBlockWhenNoProxy = nullptr;
    QPushButton* btnReinstallFF = nullptr;
    QWidget* pnButton = nullptr;
    QPushButton* btnOk = nullptr;
    QPushButton* btnCancel = nullptr;

    // True while the controls are filled from the settings.
    bool Loading = false;

    // Fills the controls from the user settings.
    void LoadOptions();
    // Writes the controls back, log-on entry first; throws what the writes throw.
    void SaveOptions();

public slots:
    // Saves and closes with OK; a save that fails is reported and the dialog stays open.
    void btnOkClick();
    // Clears every don't-show-again choice at once.
    void btnClearShowAgainFlagClick();
    // Asks, then closes the dialog and restarts the program in the chosen settings mode.
    void cbAllUsersChange(int index);
    // Installs the Firefox extension, or asks where Firefox is.
    void btnReinstallFFClick();

private:
    void FormCreate();
    void buildGeneralPage();
    void buildBrowserPage();
    void buildButtonPanel();

    TSettings& m_settings;
    TEngineServices& m_messages;
    TOptionFormServices m_services;
};
