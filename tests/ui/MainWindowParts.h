#pragma once

#include "support/NamedChild.h"
#include "ui/InfoPagePane.h"
#include "ui/TfrmMainForm.h"
#include "ui/WindowTimer.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>

// The main window's components most tests look at, found by the names the language files use.
struct MainWindowParts
{
    explicit MainWindowParts(TfrmMainForm& window) : w(window) {}

    TfrmMainForm& w;
    WindowTimer* tmProgress = testsupport::child<WindowTimer>(w, "tmProgress");
    WindowTimer* tmChangeIP = testsupport::child<WindowTimer>(w, "tmChangeIP");
    QSpinBox* edtChangeIPTime = testsupport::child<QSpinBox>(w, "edtChangeIPTime");
    QProgressBar* sgTesting = testsupport::child<QProgressBar>(w, "sgTesting");
    QLabel* lbIP = testsupport::child<QLabel>(w, "lbIP");
    QLabel* lbHidingInfo = testsupport::child<QLabel>(w, "lbHidingInfo");
    QLabel* imgFlag = testsupport::child<QLabel>(w, "imgFlag");
    QLabel* imgLocal = testsupport::child<QLabel>(w, "imgLocal");
    QLabel* lblProgressText = testsupport::child<QLabel>(w, "lblProgressText");
    QCheckBox* cbClearCookie = testsupport::child<QCheckBox>(w, "cbClearCookie");
    QCheckBox* cbChangeIP = testsupport::child<QCheckBox>(w, "cbChangeIP");
    QAction* acVuvaVI = testsupport::child<QAction>(w, "acVuvaVI");
    QAction* acStopHide = testsupport::child<QAction>(w, "acStopHide");
    InfoPagePane* wbMain = testsupport::child<InfoPagePane>(w, "wbMain");
    QPushButton* btnHide = testsupport::child<QPushButton>(w, "btnHide");
    QMenuBar* mmbMainMenu = testsupport::child<QMenuBar>(w, "mmbMainMenu");
    QGroupBox* spSkinPanel2 = testsupport::child<QGroupBox>(w, "spSkinPanel2");
    QSystemTrayIcon* spTrayIcon = testsupport::child<QSystemTrayIcon>(w, "spTrayIcon");
};
