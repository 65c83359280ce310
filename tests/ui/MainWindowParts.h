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
    explicit MainWindowParts(TfrmMainForm& w)
        : tmProgress(testsupport::child<WindowTimer>(w, "tmProgress")),
          tmChangeIP(testsupport::child<WindowTimer>(w, "tmChangeIP")),
          edtChangeIPTime(testsupport::child<QSpinBox>(w, "edtChangeIPTime")),
          sgTesting(testsupport::child<QProgressBar>(w, "sgTesting")), lbIP(testsupport::child<QLabel>(w, "lbIP")),
          lbHidingInfo(testsupport::child<QLabel>(w, "lbHidingInfo")),
          imgFlag(testsupport::child<QLabel>(w, "imgFlag")), imgLocal(testsupport::child<QLabel>(w, "imgLocal")),
          lblProgressText(testsupport::child<QLabel>(w, "lblProgressText")),
          cbClearCookie(testsupport::child<QCheckBox>(w, "cbClearCookie")),
          cbChangeIP(testsupport::child<QCheckBox>(w, "cbChangeIP")),
          acVuvaVI(testsupport::child<QAction>(w, "acVuvaVI")),
          acStopHide(testsupport::child<QAction>(w, "acStopHide")),
          wbMain(testsupport::child<InfoPagePane>(w, "wbMain")), btnHide(testsupport::child<QPushButton>(w, "btnHide")),
          mmbMainMenu(testsupport::child<QMenuBar>(w, "mmbMainMenu")),
          spSkinPanel2(testsupport::child<QGroupBox>(w, "spSkinPanel2")),
          spTrayIcon(testsupport::child<QSystemTrayIcon>(w, "spTrayIcon"))
    {
    }
    WindowTimer* tmProgress;
    WindowTimer* tmChangeIP;
    QSpinBox* edtChangeIPTime;
    QProgressBar* sgTesting;
    QLabel* lbIP;
    QLabel* lbHidingInfo;
    QLabel* imgFlag;
    QLabel* imgLocal;
    QLabel* lblProgressText;
    QCheckBox* cbClearCookie;
    QCheckBox* cbChangeIP;
    QAction* acVuvaVI;
    QAction* acStopHide;
    InfoPagePane* wbMain;
    QPushButton* btnHide;
    QMenuBar* mmbMainMenu;
    QGroupBox* spSkinPanel2;
    QSystemTrayIcon* spTrayIcon;
};
