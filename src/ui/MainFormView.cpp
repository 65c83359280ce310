// The main window's side of hiding: how each state the engine window reports looks on its controls.
#include "ui/TfrmMainForm.h"

#include "proxy/TProxyManager.h"
#include "ui/WindowTimer.h"

#include <QAction>
#include <QLabel>
#include <QProgressBar>
#include <QSystemTrayIcon>

namespace {
// The flag boxes' places: the first line shows the flag of the address the web sees.
constexpr int kFlagLeft = 88;
constexpr int kFirstLineTop = 16;
constexpr int kSecondLineTop = 37;
constexpr int kOutOfSightTop = 375;
} // namespace

void TfrmMainForm::ShowListReady(const QString& localAddress)
{
    wbMain->show();
    tmProgress->SetEnabled(false);
    sgTesting->hide();
    lblProgressText->hide();
    lbIP->setText(localAddress);
    acVuvaVI->setEnabled(true);
}

void TfrmMainForm::ResumeHiding()
{
    acVuvaVI->trigger();
}

void TfrmMainForm::ShowTestProgress(int max, int current, const QString& text)
{
    const bool running = current < max;
    wbMain->setVisible(current == max);
    tmProgress->SetEnabled(running);
    // The gauge counts in thousandths of a proxy so that tmProgress can creep on between results.
    // A range of 0 to 0 would turn the bar into a busy indicator; an empty run keeps a plain empty bar.
    sgTesting->setRange(0, qMax(1, qBound(0, max, TProxyManager::kMaxProxyCount) * 1000));
    sgTesting->setValue(qBound(0, current, TProxyManager::kMaxProxyCount) * 1000);
    lblProgressText->setText(text);
    lblProgressText->setVisible(running);
}

void TfrmMainForm::ShowProxyLines(const QString& address, const QString& info, const QString& trayHint)
{
    imgLocal->move(kFlagLeft, kSecondLineTop);
    imgFlag->move(kFlagLeft, kFirstLineTop);
    imgFlag->show();
    lbHidingInfo->setText(info);
    lbIP->setText(address);
    if (spTrayIcon)
        spTrayIcon->setToolTip(trayHint);
}

void TfrmMainForm::ShowOwnLines(const QString& localAddress, const QString& info, const QString& trayHint)
{
    imgLocal->move(kFlagLeft, kFirstLineTop);
    imgFlag->move(kFlagLeft, kOutOfSightTop);
    imgFlag->hide();
    lbHidingInfo->setText(info);
    if (spTrayIcon)
        spTrayIcon->setToolTip(trayHint);
    lbIP->setText(localAddress);
}

void TfrmMainForm::ShowHiding(const QString& address, const QString& info, const QString& trayHint)
{
    SetHideAction(acStopHide);
    ShowProxyLines(address, info, trayHint);
    tmProgress->SetEnabled(false);
    lblProgressText->setText(QString());
    sgTesting->hide();
    wbMain->show();
}

void TfrmMainForm::ShowSeenAddress(const QString& address, const QString& info, const QString& trayHint)
{
    ShowProxyLines(address, info, trayHint);
}

void TfrmMainForm::ShowProxyFailing(const QString& localAddress, const QString& info, const QString& trayHint)
{
    ShowOwnLines(localAddress, info, trayHint);
}

void TfrmMainForm::ShowNotHiding(const QString& localAddress, const QString& info, const QString& trayHint)
{
    // The gauge and the progress text are left alone: a run stopped half-way lets the bar run out.
    SetHideAction(acVuvaVI);
    ShowOwnLines(localAddress, info, trayHint);
    wbMain->show();
}

void TfrmMainForm::ShowWebBlocked(const QString& headline, const QString& info, const QString& notice)
{
    // Hiding stays on: the command still stops it, which is the one way back to a direct connection.
    SetHideAction(acStopHide);
    ShowOwnLines(headline, info, QStringLiteral("Veilport\n") + notice);
    tmProgress->SetEnabled(false);
    lblProgressText->setText(QString());
    sgTesting->hide();
    wbMain->show();
    // The window is often in the tray while the user browses; the web going dark there needs a word.
    if (spTrayIcon && spTrayIcon->isVisible())
        spTrayIcon->showMessage(headline, notice, QSystemTrayIcon::Warning);
}

void TfrmMainForm::DrawLocalFlag(const QImage& flag, FlagFill fill)
{
    DrawFlagInto(imgLocal, flag, fill);
}

void TfrmMainForm::DrawProxyFlag(const QImage& flag, FlagFill fill)
{
    DrawFlagInto(imgFlag, flag, fill);
}

void TfrmMainForm::CloseForGood()
{
    ExitRequested = true;
    close();
}
