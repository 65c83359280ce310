#include "ui/TfrmMainForm.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "net/THTTPGet.h"
#include "proxy/TProxyManager.h"
#include "ui/ForceForegroundWindow.h"
#include "ui/InfoPageProcess.h"
#include "ui/InfoPageView.h"
#include "ui/ScreenPlacement.h"
#include "ui/SettingsWriteGuard.h"
#include "util/EngineServices.h"
#include "ui/TLocalisation.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/WebEngineUrlCache.h"
#include "browsers/DesktopBrowsers.h"
#include "ui/WindowTimer.h"
#include "util/SPTools.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>

namespace {

// Designed client area; the window cannot be resized.
constexpr int kClientWidth = 476;
constexpr int kClientHeight = 302;
constexpr int kMenuHeight = 22;
// A stored Left or Top of this value asks for centring.
constexpr int kCentre = -100;
// The tray notice shown at a close; its answer can be remembered under this number.
constexpr int kTrayNoticeId = 31;
// How long the window must stay put before its place is stored (each store is a file written to disk).
constexpr int kPlaceSettleMs = 400;

QAction* MakeAction(QObject* owner, const char* name, const char* caption)
{
    auto* action = new QAction(QString::fromLatin1(caption), owner);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

QPushButton* MakeButton(QWidget* parent, const char* name, int x, int y)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(x, y, 105, 25);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w, int h)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(x, y, w, h);
    return label;
}

QLabel* MakeFlagBox(QWidget* parent, const char* name, int x, int y)
{
    QLabel* box = MakeLabel(parent, name, QString(), x, y, 16, 12);
    box->setAutoFillBackground(true);
    return box;
}

} // namespace

TfrmMainForm::TfrmMainForm(TfrmEngineWnd& engine, QWidget* parent)
    : QWidget(parent), m_engine(engine), m_settings(engine.Settings())
{
    // Message boxes carry this window's caption from the start: creating it may already report a
    // setting that could not be stored.
    m_engine.SetMainWindow(this);
    setObjectName(QStringLiteral("frmMainForm"));
    setWindowTitle(QStringLiteral("Veilport"));
    // A frame with minimise and close but no maximise, as the window has one fixed size.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setAcceptDrops(false);
    m_placeSettled = new QTimer(this);
    m_placeSettled->setSingleShot(true);
    m_placeSettled->setInterval(kPlaceSettleMs);
    connect(m_placeSettled, &QTimer::timeout, this, &TfrmMainForm::SaveWindowPlace);

    CreateActions();
    CreateControls();
    CreateMenus();
    CreateTray();
    setFixedSize(kClientWidth, kClientHeight + ContentTop());
    // Cookie clearing works on the browsing store the info page shares with the program, once a
    // page has been shown: until then nothing has been stored in it.
    m_urlCache = new WebEngineUrlCache(nullptr, this);
    connect(wbMain, &InfoPagePane::viewCreated, m_urlCache,
            [this](InfoPageView* view) { m_urlCache->attach(view->page()->profile()); });
    connect(wbMain, &InfoPagePane::pageProcessStarted, m_urlCache,
            [this](InfoPageProcess* process) { m_urlCache->attach(process); });
    m_engine.Browsers().routines().setUrlCache(m_urlCache);
    // Every child exists with its name now: the window opens in the current language.
    AttachWindowTranslator(this, [this] { smLanguageChangeLanguage(); });
    // Every control exists now; the stop-hide of FormCreate already shows through them.
    m_engine.SetMainView(this);
    try {
        FormCreate();
    } catch (...) {
        // No destructor runs for a window that failed to come up; the engine must not keep it.
        m_engine.SetMainView(nullptr);
        throw;
    }
}

TfrmMainForm::~TfrmMainForm()
{
    if (m_engine.MainView() == this)
        m_engine.SetMainView(nullptr);
    m_engine.Browsers().routines().setUrlCache(nullptr);
}

int TfrmMainForm::ContentTop() const
{
    return mmbMainMenu && !mmbMainMenu->isHidden() ? kMenuHeight : 0;
}

void TfrmMainForm::CreateActions()
{
    acVuvaVI = MakeAction(this, "acVuvaVI", "&Hide");
    acVuvaVI->setEnabled(false);
    acStopHide = MakeAction(this, "acStopHide", "S&top Hide");
    acClearCookie = MakeAction(this, "acClearCookie", "Clear Cookie");
    acCheckIP = MakeAction(this, "acCheckIP", "&Check IP Info");
    acCheckWhatSitesSee = MakeAction(this, "acCheckWhatSitesSee", "Check &what sites see");
    actChooseIP = MakeAction(this, "actChooseIP", "Choose IP Country");
    acOption = MakeAction(this, "acOption", "&Options...");
    acAbout = MakeAction(this, "acAbout", "&About...");
    acAlwaysOnTop = MakeAction(this, "acAlwaysOnTop", "&Always On Top");
    acAlwaysOnTop->setCheckable(true);
    acHelp = MakeAction(this, "acHelp", "&Help ...");
    acHome = MakeAction(this, "acHome", "Home &Page...");
    acUpdate = MakeAction(this, "acUpdate", "&Update...");
    acExit = MakeAction(this, "acExit", "E&xit");
    acSetupBrowser = MakeAction(this, "acSetupBrowser", "SetupBrowser");
    acSkin = MakeAction(this, "acSkin", "Change &Skin");
    acLanguage = MakeAction(this, "acLanguage", "Change &Language");

    connect(acVuvaVI, &QAction::triggered, this, &TfrmMainForm::acVuvaVIExecute);
    connect(acStopHide, &QAction::triggered, this, &TfrmMainForm::acStopHideExecute);
    connect(acClearCookie, &QAction::triggered, this, &TfrmMainForm::acClearCookieExecute);
    connect(acCheckIP, &QAction::triggered, this, &TfrmMainForm::acCheckIPExecute);
    connect(acCheckWhatSitesSee, &QAction::triggered, this, &TfrmMainForm::acCheckWhatSitesSeeExecute);
    connect(actChooseIP, &QAction::triggered, this, &TfrmMainForm::actChooseIPExecute);
    connect(acOption, &QAction::triggered, this, &TfrmMainForm::acOptionExecute);
    connect(acAbout, &QAction::triggered, this, &TfrmMainForm::acAboutExecute);
    // The check mark always follows StayOnTop, whoever changed it.
    connect(acAlwaysOnTop, &QAction::triggered, this, [this] {
        acAlwaysOnTopExecute();
        acAlwaysOnTop->setChecked(StayOnTop);
    });
    connect(acHelp, &QAction::triggered, this, &TfrmMainForm::acHelpExecute);
    connect(acHome, &QAction::triggered, this, &TfrmMainForm::acHomeExecute);
    connect(acUpdate, &QAction::triggered, this, &TfrmMainForm::acUpdateExecute);
    connect(acExit, &QAction::triggered, this, &TfrmMainForm::acExitExecute);
    connect(acSetupBrowser, &QAction::triggered, this, &TfrmMainForm::acSetupBrowserExecute);
    // The carried action may change its caption (language) or state; the button and item follow.
    connect(acVuvaVI, &QAction::changed, this, &TfrmMainForm::RefreshHideControls);
    connect(acStopHide, &QAction::changed, this, &TfrmMainForm::RefreshHideControls);
}

void TfrmMainForm::CreateControls()
{
    const bool withMenu = m_settings.GetConstBool(QStringLiteral("MainForm.MainMenu"), false);
    mmbMainMenu = new QMenuBar(this);
    mmbMainMenu->setObjectName(QStringLiteral("mmbMainMenu"));
    mmbMainMenu->setGeometry(0, 0, kClientWidth, kMenuHeight);
    mmbMainMenu->setVisible(withMenu);
    const int top = withMenu ? kMenuHeight : 0;

    spSkinPanel1 = new QWidget(this);
    spSkinPanel1->setObjectName(QStringLiteral("spSkinPanel1"));
    spSkinPanel1->setGeometry(0, top, kClientWidth, 163);

    spPngImageView1 = MakeLabel(spSkinPanel1, "spPngImageView1", QString(), 8, 8, 64, 63);
    const QPixmap logo(GetAppPath() + QStringLiteral("res/veilport.png"));
    if (!logo.isNull())
        spPngImageView1->setPixmap(logo.scaled(64, 63, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    lbIP = MakeLabel(spSkinPanel1, "lbIP", QStringLiteral("NONE"), 107, 8, 360, 27);
    QFont ipFont = lbIP->font();
    ipFont.setBold(true);
    ipFont.setPixelSize(21);
    lbIP->setFont(ipFont);
    // The skin styles the whole application; these two lines keep their own weight, size and colour.
    lbIP->setStyleSheet(QStringLiteral("font-weight: bold; font-size: 21px;"));

    lbHidingInfo = MakeLabel(spSkinPanel1, "lbHidingInfo", QStringLiteral("NONE"), 108, 35, 360, 17);
    QFont infoFont = lbHidingInfo->font();
    infoFont.setBold(true);
    lbHidingInfo->setFont(infoFont);
    QPalette infoPalette = lbHidingInfo->palette();
    infoPalette.setColor(QPalette::WindowText, Qt::red);
    lbHidingInfo->setPalette(infoPalette);
    lbHidingInfo->setStyleSheet(QStringLiteral("font-weight: bold; color: red;"));

    imgLocal = MakeFlagBox(spSkinPanel1, "imgLocal", 80, 16);
    imgFlag = MakeFlagBox(spSkinPanel1, "imgFlag", 80, 38);
    imgFlag->hide();

    // Created before the web view so that it lies under it and shows only while the page is hidden.
    lblProgressText = MakeLabel(spSkinPanel1, "lblProgressText", QString(), 13, 94, 440, 17);

    wbMain = new InfoPagePane(spSkinPanel1);
    wbMain->setObjectName(QStringLiteral("wbMain"));
    wbMain->setGeometry(8, 72, 449, 57);

    btnHide = MakeButton(spSkinPanel1, "btnHide", 119, 136);
    connect(btnHide, &QPushButton::clicked, this, [this] {
        if (m_hideAction && m_hideAction->isEnabled())
            m_hideAction->trigger();
    });
    spSkinButton3 = MakeButton(spSkinPanel1, "spSkinButton3", 232, 136);
    spSkinButton3->setText(QStringLiteral("Clear Cookies"));
    connect(spSkinButton3, &QPushButton::clicked, acClearCookie, &QAction::trigger);
    btnChkIPInfo = MakeButton(spSkinPanel1, "btnChkIPInfo", 345, 136);
    btnChkIPInfo->setText(acCheckIP->text());
    connect(btnChkIPInfo, &QPushButton::clicked, acCheckIP, &QAction::trigger);
    connect(acCheckIP, &QAction::changed, this, [this] { btnChkIPInfo->setText(acCheckIP->text()); });

    spSkinPanel2 = new QGroupBox(QStringLiteral("Quick Settings"), this);
    spSkinPanel2->setObjectName(QStringLiteral("spSkinPanel2"));
    spSkinPanel2->setGeometry(8, 165 + top, 449, 113);

    lblFakeLoc = MakeLabel(spSkinPanel2, "lblFakeLoc", QStringLiteral("Fake location: "), 16, 24, 90, 17);
    imgFL = MakeFlagBox(spSkinPanel2, "imgFL", 107, 25);
    lblIPCountry = MakeLabel(spSkinPanel2, "lblIPCountry", QStringLiteral("Auto selected"), 130, 25, 200, 17);
    btnChooseIP = MakeButton(spSkinPanel2, "btnChooseIP", 334, 16);
    btnChooseIP->setText(actChooseIP->text());
    connect(btnChooseIP, &QPushButton::clicked, actChooseIP, &QAction::trigger);
    connect(actChooseIP, &QAction::changed, this, [this] { btnChooseIP->setText(actChooseIP->text()); });

    cbChangeIP = new QCheckBox(QStringLiteral("Change IP Every               Minutes "), spSkinPanel2);
    cbChangeIP->setObjectName(QStringLiteral("cbChangeIP"));
    cbChangeIP->setGeometry(8, 56, 193, 25);
    // The field must fit into the caption's run of blanks, which needs the compact size of the design.
    cbChangeIP->setStyleSheet(QStringLiteral("font-size: 11px;"));
    // The field lies over the run of blanks in the box's caption.
    edtChangeIPTime = new QSpinBox(spSkinPanel2);
    edtChangeIPTime->setObjectName(QStringLiteral("edtChangeIPTime"));
    edtChangeIPTime->setGeometry(113, 57, 37, 20);
    edtChangeIPTime->setRange(1, 120);
    edtChangeIPTime->setSingleStep(1);
    edtChangeIPTime->setValue(10);
    edtChangeIPTime->setButtonSymbols(QAbstractSpinBox::NoButtons);
    edtChangeIPTime->raise();
    cbClearCookie = new QCheckBox(QStringLiteral("Clear Cookies When IP Changes"), spSkinPanel2);
    cbClearCookie->setObjectName(QStringLiteral("cbClearCookie"));
    cbClearCookie->setGeometry(8, 80, 193, 25);
    cbClearCookie->setStyleSheet(QStringLiteral("font-size: 11px;"));

    lblAdvSetting = MakeLabel(spSkinPanel2, "lblAdvSetting", QStringLiteral("Advance Settings"), 346, 89, 100, 17);
    QFont linkFont = lblAdvSetting->font();
    linkFont.setUnderline(true);
    lblAdvSetting->setFont(linkFont);
    lblAdvSetting->setCursor(Qt::PointingHandCursor);
    lblAdvSetting->installEventFilter(this);

    // The gauge lies above the upper panel, over the info page's place.
    sgTesting = new QProgressBar(this);
    sgTesting->setObjectName(QStringLiteral("sgTesting"));
    sgTesting->setGeometry(8, 117 + top, 449, 20);
    sgTesting->setRange(0, 400);
    sgTesting->setValue(0);
    sgTesting->setTextVisible(false);
    sgTesting->hide();
    sgTesting->raise();

    tmProgress = new WindowTimer(this);
    tmProgress->setObjectName(QStringLiteral("tmProgress"));
    tmProgress->SetInterval(100);
    connect(tmProgress, &WindowTimer::Timer, this, &TfrmMainForm::tmProgressTimer);
    tmChangeIP = new WindowTimer(this);
    tmChangeIP->setObjectName(QStringLiteral("tmChangeIP"));
    connect(tmChangeIP, &WindowTimer::Timer, this, &TfrmMainForm::tmChangeIPTimer);

    // Code that sets a box's state runs its handler too, even when the state does not change.
    connect(cbChangeIP, &QCheckBox::clicked, this, &TfrmMainForm::cbChangeIPClick);
    connect(cbClearCookie, &QCheckBox::clicked, this, &TfrmMainForm::cbClearCookieClick);
    connect(edtChangeIPTime, &QSpinBox::textChanged, this, &TfrmMainForm::edtChangeIPTimeChange);
}

void TfrmMainForm::CreateMenus()
{
    miHide = new QAction(this);
    miHide->setObjectName(QStringLiteral("miHide"));
    connect(miHide, &QAction::triggered, this, [this] {
        if (m_hideAction && m_hideAction->isEnabled())
            m_hideAction->trigger();
    });
    auto* open = new QAction(QStringLiteral("&Open..."), this);
    open->setObjectName(QStringLiteral("Open1"));
    connect(open, &QAction::triggered, this, &TfrmMainForm::Open1Click);

    pmTrayIcon = new QMenu(this);
    pmTrayIcon->setObjectName(QStringLiteral("pmTrayIcon"));
    pmTrayIcon->addActions({miHide, acCheckIP, acCheckWhatSitesSee, actChooseIP, open, acHome});
    pmTrayIcon->addSeparator();
    pmTrayIcon->addActions({acUpdate, acAbout, acExit});

    pmSystem = new QMenu(this);
    pmSystem->setObjectName(QStringLiteral("pmSystem"));
    pmSystem->addAction(acAlwaysOnTop);
    pmSystem->addSeparator();
    pmSystem->addAction(acCheckWhatSitesSee);
    pmSystem->addSeparator();
    pmSystem->addActions({acUpdate, acHome, acAbout});
    pmSystem->addSeparator();
    pmSystem->addAction(acExit);

    QMenu* file = mmbMainMenu->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("File1"));
    file->addSeparator();
    file->addAction(acExit);
    QMenu* view = mmbMainMenu->addMenu(QStringLiteral("&View"));
    view->setObjectName(QStringLiteral("View1"));
    // The menu item runs the toggle directly and shows no check mark.
    QAction* onTop = view->addAction(QStringLiteral("&Always On Top"));
    onTop->setObjectName(QStringLiteral("AlwaysOnTop1"));
    connect(onTop, &QAction::triggered, this, [this] {
        acAlwaysOnTopExecute();
        acAlwaysOnTop->setChecked(StayOnTop);
    });
    view->addSeparator();
    miSkin = view->addMenu(acSkin->text());
    miSkin->setObjectName(QStringLiteral("miSkin"));
    miLanguage = view->addMenu(acLanguage->text());
    miLanguage->setObjectName(QStringLiteral("miChangeLanguage"));
    miLanguage->addSeparator();
    QAction* more = miLanguage->addAction(QStringLiteral("&More Languages..."));
    more->setObjectName(QStringLiteral("miMoreLanguages"));
    QMenu* tools = mmbMainMenu->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("Tools1"));
    tools->addAction(acCheckWhatSitesSee);
    tools->addAction(acOption);
    QMenu* help = mmbMainMenu->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help1"));
    help->addActions({acHelp, acHome});
    help->addSeparator();
    help->addAction(acUpdate);
    help->addSeparator();
    help->addAction(acAbout);
}

void TfrmMainForm::CreateTray()
{
    spTrayIcon = new QSystemTrayIcon(this);
    spTrayIcon->setObjectName(QStringLiteral("spTrayIcon"));
    QIcon icon(GetAppPath() + QStringLiteral("res/veilport.png"));
    if (icon.isNull())
        icon = QApplication::windowIcon();
    spTrayIcon->setIcon(icon);
    setWindowIcon(icon);
    spTrayIcon->setToolTip(QStringLiteral("Veilport"));
    spTrayIcon->setContextMenu(pmTrayIcon);
    connect(spTrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
            ForceForegroundWindow(this);
    });
    if (TrayAvailable())
        spTrayIcon->show();
}

void TfrmMainForm::FormCreate()
{
    FirstShowDone = false;
    m_countryFlagImage = QImage();
    // The menu bar's visibility was decided when the controls were made (it moves the layout).
    acSetupBrowser->trigger();
    acStopHide->trigger();
    OpenInfoPage(QUrl::fromLocalFile(GetAppPath() + QStringLiteral("res/temp.html")).toString());
    if (TProxyManager* manager = Manager()) {
        manager->ChooseCountry(m_settings.ReadString(QStringLiteral("PROXYCOUNTRY"), kAutoSelected));
        lblIPCountry->setText(manager->Country());
    }
    ShowCountryFlag();
    LoadQuickSettings();
    if (TProxyManager* manager = Manager())
        manager->StopHide();
}

void TfrmMainForm::OpenInfoPage(const QString& url)
{
    wbMain->OpenUrl(url);
}

void TfrmMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!FirstShowDone)
        FormShow();
}

void TfrmMainForm::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    if (!FirstShowDone)
        return;
    // The window system confirms the restored place after the first show; that is not a move of the user's.
    if (m_ignoreRestoredMove && pos() == m_restoredPos)
        return;
    m_ignoreRestoredMove = false;
    m_placeSettled->start();
}

void TfrmMainForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (!FirstShowDone)
        return;
    m_placeSettled->start();
}

void TfrmMainForm::SaveWindowPlace()
{
    m_placeSettled->stop();
    m_engine.WriteGuard()([this](TSettings& settings) {
        settings.WriteInteger(QStringLiteral("MainForm.Left"), x());
        settings.WriteInteger(QStringLiteral("MainForm.Top"), y());
        settings.WriteInteger(QStringLiteral("MainForm.Width"), width());
        settings.WriteInteger(QStringLiteral("MainForm.Height"), height());
    });
}

void TfrmMainForm::contextMenuEvent(QContextMenuEvent* event)
{
    // Linux frames keep their own window menu; the program's system menu opens on a right click.
    pmSystem->popup(event->globalPos());
    event->accept();
}

bool TfrmMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == lblAdvSetting && event->type() == QEvent::MouseButtonRelease) {
        acOption->trigger();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmMainForm::RestoreWindowPosition()
{
    int left = m_settings.ReadInteger(QStringLiteral("MainForm.Left"), kCentre);
    int top = m_settings.ReadInteger(QStringLiteral("MainForm.Top"), kCentre);
    const int w = m_settings.ReadInteger(QStringLiteral("MainForm.Width"),
                                         m_settings.GetConstInt(QStringLiteral("MainForm.Width"), 888));
    const int h = m_settings.ReadInteger(QStringLiteral("MainForm.Height"),
                                         m_settings.GetConstInt(QStringLiteral("MainForm.Height"), 666));
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize screenSize = screen ? screen->geometry().size() : QSize(0, 0);
    // Integer division truncates toward zero, so a window wider than the screen gets a negative place.
    if (left == kCentre)
        left = (screenSize.width() - w) / 2;
    if (top == kCentre)
        top = (screenSize.height() - h) / 2;
    // The place is the frame's; the frame (known once the window exists) must fit as well.
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize size = (w != 0 && h != 0 ? QSize(w, h) : this->size()) + frame;
    const QPoint place = VisiblePlaceOnAttachedScreens(QRect(QPoint(left, top), size));
    move(place);
    if (w != 0 && h != 0)
        setFixedSize(w, h);
    m_restoredPos = place;
    m_ignoreRestoredMove = true;
}

bool TfrmMainForm::TrayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TfrmMainForm::HideToTray()
{
    // Without a tray the hidden window could never be reached again, so it is only minimised.
    if (TrayAvailable())
        hide();
    else
        showMinimized();
}

void TfrmMainForm::Open1Click()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    ForceForegroundWindow(this);
}

bool TfrmMainForm::FormCloseQuery()
{
    if (!ExitRequested) {
        const int answer = m_engine.ShowMessageBox(QString::fromUtf8(MessageText::kTrayNotice), {}, kTrayNoticeId,
                                                   TEngineServices::mtInformation, TEngineServices::mbOK, 0);
        if (answer == TEngineServices::mrOk)
            HideToTray();
        else
            ExitRequested = true;
    }
    // A move the user made just before closing has not settled yet.
    if (m_placeSettled->isActive())
        SaveWindowPlace();
    SaveQuickSettings();
    return ExitRequested;
}

void TfrmMainForm::closeEvent(QCloseEvent* event)
{
    if (FormCloseQuery()) {
        event->accept();
        emit FormClosed();
    } else {
        event->ignore();
    }
}

void TfrmMainForm::WMInstanceClose()
{
    ExitRequested = true;
    close();
}

int TfrmMainForm::WMInstanceQueryId()
{
    return m_settings.GetConstInt(QStringLiteral("App.ID"), 0);
}

void TfrmMainForm::WMEndSession()
{
    ExitRequested = true;
}

void TfrmMainForm::WMDropFiles(const QStringList& files)
{
    // The window takes no files; a drop only brings it forward.
    Q_UNUSED(files);
    ForceForegroundWindow(this);
}

void TfrmMainForm::SetStayOnTop(bool on)
{
    StayOnTop = on;
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    // Changing a window flag hides the window; put it back where it was.
    if (wasVisible)
        show();
    acAlwaysOnTop->setChecked(on);
}

void TfrmMainForm::smLanguageChangeLanguage()
{
    const QString version = m_settings.GetConst(QStringLiteral("App.Ver"));
    setWindowTitle(m_engine.LangText(QString::fromLatin1(MessageText::kAppName)) + QStringLiteral("  ") + version);
}
