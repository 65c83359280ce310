#pragma once

#include "ui/IMainView.h"
#include "ui/InfoPagePane.h"

#include <QImage>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class QTimer;
class TProxyManager;
class TfrmEngineWnd;
class TSettings;
class WindowTimer;
class THTTPGet;
class LanguageMenu;
class SkinMenu;
class WebEngineUrlCache;

// The program's one visible window: the address under which the user is seen, the hiding
// status, flags, the info page, the progress of list download and testing, the quick
// settings, the actions with their menus and the tray icon. Language files address its
// components by objectName under the section "TfrmMainForm", so the names are fixed.
// The engine's hiding presenter tells it what to show while hiding through IMainView.
class TfrmMainForm : public QWidget, public IMainView
{
    Q_OBJECT

public:
    // engine: the services, the proxy pool and the commands behind the actions; it must outlive the
    // window, which is its main window and view while it exists.
    explicit TfrmMainForm(TfrmEngineWnd& engine, QWidget* parent = nullptr);
    ~TfrmMainForm() override;

    // The next close request ends the program; while false a close only hides to the tray.
    bool ExitRequested = false;
    // The first-show sequence has run; until then moves and resizes are not stored.
    bool FirstShowDone = false;
    // The window stays above others (not stored).
    bool StayOnTop = false;

    // Handlers of the messages a second start sends; the instance channel calls them on the UI thread.
    void WMInstanceClose();
    int WMInstanceQueryId();
    void WMEndSession();
    void WMDropFiles(const QStringList& files);

    // Places and sizes the window from the stored settings (centred by default), on a screen that
    // is attached now.
    void RestoreWindowPosition();
    // Stores the window's place and size now (a move or resize has settled, or the window closes).
    void SaveWindowPlace();
    // Loads the automatic-change settings and opens the info page.
    void LoadQuickSettings();
    // Stores the quick settings and whether hiding is on.
    void SaveQuickSettings();
    // Keeps the window above the others, or not.
    void SetStayOnTop(bool on);
    // Shows the flag of the chosen proxy country in imgFL (from the cache or fetched).
    void ShowCountryFlag();
    // Draws a flag file into imgFL; a file that is not a PNG leaves an empty flag.
    void DrawCountryFlag(const QString& fileName);
    // Restores the window from the tray.
    void Open1Click();
    // Gives btnHide and miHide the action they carry (acVuvaVI or acStopHide).
    void SetHideAction(QAction* action);
    // The action btnHide and miHide carry now.
    QAction* HideAction() const { return m_hideAction; }
    // Whether a tray icon can be shown on this desktop; without one a close minimises.
    bool TrayAvailable() const;
    // Minutes of the automatic change: the field's text as a number, 10 when it is not one.
    int ChangeIPMinutes() const;

    void ShowListReady(const QString& localAddress) override;
    void ResumeHiding() override;
    void ShowTestProgress(int max, int current, const QString& text) override;
    void ShowHiding(const QString& address, const QString& info, const QString& trayHint) override;
    void ShowSeenAddress(const QString& address, const QString& info, const QString& trayHint) override;
    void ShowProxyFailing(const QString& localAddress, const QString& info, const QString& trayHint) override;
    void ShowNotHiding(const QString& localAddress, const QString& info, const QString& trayHint) override;
    void ShowWebBlocked(const QString& headline, const QString& info, const QString& notice) override;
    void DrawLocalFlag(const QImage& flag, FlagFill fill) override;
    void DrawProxyFlag(const QImage& flag, FlagFill fill) override;
    void CloseForGood() override;

private:
    // The window's components. Other windows go through IMainView and the actions; tests find them by
    // their object names, the names the language files address them by.
    QMenuBar* mmbMainMenu = nullptr;
    QWidget* spSkinPanel1 = nullptr;
    QLabel* spPngImageView1 = nullptr;
    QLabel* lbIP = nullptr;
    QLabel* lbHidingInfo = nullptr;
    QLabel* imgLocal = nullptr;
    QLabel* imgFlag = nullptr;
    // The info page; its web view exists only while the window can be seen.
    InfoPagePane* wbMain = nullptr;
    QLabel* lblProgressText = nullptr;
    QPushButton* btnHide = nullptr;
    QPushButton* spSkinButton3 = nullptr;
    QPushButton* btnChkIPInfo = nullptr;
    QGroupBox* spSkinPanel2 = nullptr;
    QLabel* lblFakeLoc = nullptr;
    QLabel* imgFL = nullptr;
    QLabel* lblIPCountry = nullptr;
    QPushButton* btnChooseIP = nullptr;
    QCheckBox* cbChangeIP = nullptr;
    QSpinBox* edtChangeIPTime = nullptr;
    QCheckBox* cbClearCookie = nullptr;
    QLabel* lblAdvSetting = nullptr;
    QProgressBar* sgTesting = nullptr;
    WindowTimer* tmProgress = nullptr;
    WindowTimer* tmChangeIP = nullptr;
    QSystemTrayIcon* spTrayIcon = nullptr;
    QMenu* pmTrayIcon = nullptr;
    QMenu* pmSystem = nullptr;
    QAction* miHide = nullptr;

    QAction* acVuvaVI = nullptr;
    QAction* acStopHide = nullptr;
    QAction* acClearCookie = nullptr;
    QAction* acCheckIP = nullptr;
    QAction* acCheckWhatSitesSee = nullptr;
    QAction* actChooseIP = nullptr;
    QAction* acOption = nullptr;
    QAction* acAbout = nullptr;
    QAction* acAlwaysOnTop = nullptr;
    QAction* acHelp = nullptr;
    QAction* acHome = nullptr;
    QAction* acUpdate = nullptr;
    QAction* acExit = nullptr;
    QAction* acSetupBrowser = nullptr;
    QAction* acSkin = nullptr;
    QAction* acLanguage = nullptr;
    QMenu* miSkin = nullptr;
    QMenu* miLanguage = nullptr;

public slots:
    void acVuvaVIExecute();
    void acStopHideExecute();
    void acClearCookieExecute();
    void acCheckIPExecute();
    void acCheckWhatSitesSeeExecute();
    void actChooseIPExecute();
    void acOptionExecute();
    void acAboutExecute();
    void acAlwaysOnTopExecute();
    void acHelpExecute();
    void acHomeExecute();
    void acUpdateExecute();
    void acExitExecute();
    void acSetupBrowserExecute();
    void cbChangeIPClick();
    void edtChangeIPTimeChange();
    void cbClearCookieClick();
    void tmChangeIPTimer();
    void tmProgressTimer();

signals:
    // The window has closed for good (the program ends).
    void FormClosed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void CreateActions();
    void CreateControls();
    void CreateMenus();
    void CreateTray();
    void ConfigureInfoView();
    void OpenInfoPage(const QString& url);
    void RefreshHideControls();
    // The two lines and the flags for the address the web sees: the proxy's, with its flag first, or the
    // own one with the proxy's flag out of sight.
    void ShowProxyLines(const QString& address, const QString& info, const QString& trayHint);
    void ShowOwnLines(const QString& localAddress, const QString& info, const QString& trayHint);
    void smLanguageChangeLanguage();
    void FillSkinAndLanguageMenus();
    void hgIPCountryDoneFile(const QString& fileName);
    void HideToTray();
    int ContentTop() const;
    TProxyManager* Manager() const;
    QString CacheFolder() const;

    TfrmEngineWnd& m_engine;
    TSettings& m_settings;
    QAction* m_hideAction = nullptr;
    QImage m_countryFlagImage;
    std::unique_ptr<THTTPGet> m_hgIPCountry;
    QPoint m_restoredPos;
    // Moves and resizes come in bursts while the user drags; the place is stored once they settle.
    QTimer* m_placeSettled = nullptr;
    bool m_ignoreRestoredMove = false;
    LanguageMenu* m_languageMenu = nullptr;
    SkinMenu* m_skinMenu = nullptr;
    WebEngineUrlCache* m_urlCache = nullptr;
};
