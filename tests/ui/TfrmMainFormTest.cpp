#include "MainWindowFixture.h"

#include "browsers/GnomeProxySettings.h"
#include "support/CompanionPeer.h"
#include "support/ListServiceFixture.h"
#include "support/LoopbackHttpResponder.h"
#include "support/NamedChild.h"
#include "support/ProcessTree.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"
#include "ui/TfrmAboutForm.h"
#include "ui/TfrmOptionForm.h"
#include "ui/InfoPageView.h"
#include "ui/WindowTimer.h"
#include "util/EngineServices.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QWebEngineView>

#include <atomic>
#include <memory>

namespace {

const QString kNotHiding = QStringLiteral("Warning! You are currently not hiding your real IP!");

} // namespace

using MainWindow = MainWindowFixture;
using testsupport::child;
using testsupport::waitUntil;

TEST_F(MainWindow, TheWindowStartsNotHidingAndIsTheEnginesViewWhileItExists)
{
    start();
    TfrmMainForm& w = *form;
    // The window is the engine window's view and message-box owner while it exists, and only then.
    EXPECT_EQ(engine->Hiding()->MainView(), form.get());
    EXPECT_EQ(engine->Services().MainWindow(), form.get());
    EXPECT_EQ(w.size(), QSize(476, 302));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_FALSE(ui->mmbMainMenu->isVisibleTo(&w));
    EXPECT_EQ(ui->edtChangeIPTime->minimum(), 1);
    EXPECT_EQ(ui->edtChangeIPTime->maximum(), 120);

    // The stop-hide at creation leaves the not-hiding display with Hide still disabled.
    EXPECT_EQ(w.HideAction(), ui->acVuvaVI);
    EXPECT_EQ(ui->btnHide->text(), QStringLiteral("&Hide"));
    EXPECT_FALSE(ui->btnHide->isEnabled());
    EXPECT_EQ(ui->lbHidingInfo->text(), kNotHiding);
    EXPECT_EQ(ui->lbIP->text(), QString());
    EXPECT_FALSE(ui->imgFlag->isVisibleTo(&w));
    EXPECT_FALSE(ui->sgTesting->isVisibleTo(&w));
    EXPECT_FALSE(ui->tmProgress->Enabled());
    EXPECT_EQ(child<QLabel>(w, "lblIPCountry")->text(), QStringLiteral("Auto Selected"));

    ui.reset();
    form->ExitRequested = true;
    form.reset();
    EXPECT_EQ(engine->Hiding()->MainView(), nullptr);
    EXPECT_EQ(engine->Services().MainWindow(), nullptr);
}

TEST_F(MainWindow, MainMenuConstantShowsTheMenuBarAndMovesTheRestDown)
{
    writeConstants("127.0.0.1:1", "MainForm.MainMenu=1\n");
    start();
    EXPECT_TRUE(ui->mmbMainMenu->isVisibleTo(form.get()));
    EXPECT_EQ(ui->spSkinPanel2->y(), 165 + 22);
    EXPECT_EQ(form->height(), 302 + 22);
}

TEST_F(MainWindow, DisplayFollowsListTestingHidingAndStopping)
{
    start();
    TfrmMainForm& w = *form;
    auto* miHide = child<QAction>(w, "miHide");
    manager().ProxyListReceived(listText({QStringLiteral("127.0.0.5:9|anon|France|http://127.0.0.1:1/fr.png|2.3|48.8"),
                                          QStringLiteral("noport|anon|France|http://127.0.0.1:1/fr.png|2.3|48.8")}));
    // Ready: own address, Hide enabled, the list kept for the next start.
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("1.2.3.4"));
    EXPECT_TRUE(ui->btnHide->isEnabled());
    EXPECT_FALSE(ui->lblProgressText->isVisibleTo(&w));
    EXPECT_TRUE(ui->wbMain->isVisibleTo(&w));
    EXPECT_TRUE(QFileInfo::exists(settingsFolder() + QStringLiteral("proxylist.lst")));

    // Testing: the button carries Stop Hide, the gauge replaces the page.
    w.SetHideAction(ui->acStopHide);
    emit manager().progress(3, 1);
    EXPECT_EQ(ui->btnHide->text(), QStringLiteral("S&top Hide"));
    EXPECT_EQ(miHide->text(), QStringLiteral("S&top Hide"));
    EXPECT_FALSE(ui->wbMain->isVisibleTo(&w));
    EXPECT_TRUE(ui->tmProgress->Enabled());
    EXPECT_EQ(ui->sgTesting->maximum(), 3000);
    EXPECT_EQ(ui->sgTesting->value(), 1000);
    EXPECT_TRUE(ui->lblProgressText->isVisibleTo(&w));
    EXPECT_EQ(ui->lblProgressText->text(), EngineServices().LangText(QStringLiteral("TEXT_TESTPROXY")));
    w.tmProgressTimer();
    EXPECT_EQ(ui->sgTesting->value(), 1003);
    EXPECT_TRUE(ui->sgTesting->isVisibleTo(&w));

    // Hiding: the proxy's host on the first line, the sentence with the own address on the second; the tray's hint
    // names the country (how well the proxy hides, once known).
    const QString hiding = QStringLiteral("You are hiding your real ip 1.2.3.4");
    manager().ApplyProxy(QStringLiteral("127.0.0.5:9"));
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("127.0.0.5"));
    EXPECT_EQ(ui->lbHidingInfo->text(), hiding);
    EXPECT_EQ(ui->spTrayIcon->toolTip(), QStringLiteral("Veilport\n127.0.0.5 (France)"));
    EXPECT_TRUE(ui->imgFlag->isVisibleTo(&w));
    EXPECT_EQ(ui->imgFlag->pos(), QPoint(88, 16));
    EXPECT_EQ(ui->imgLocal->pos(), QPoint(88, 37));
    EXPECT_FALSE(ui->tmProgress->Enabled());
    EXPECT_FALSE(ui->sgTesting->isVisibleTo(&w));
    EXPECT_TRUE(ui->wbMain->isVisibleTo(&w));
    EXPECT_EQ(ui->lblProgressText->text(), QString());

    // A check that names the address the sites see shows it; one that names none keeps the address seen last.
    TProxyRec rec;
    rec.Proxy = QStringLiteral("127.0.0.5:9");
    rec.Country = QStringLiteral("France");
    rec.Anonymity = QStringLiteral("elite");
    emit manager().proxyVerified(rec, QStringLiteral("203.0.113.7"));
    emit manager().proxyVerified(rec, QString());
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("203.0.113.7"));
    EXPECT_EQ(ui->lbHidingInfo->text(), hiding);
    EXPECT_EQ(ui->spTrayIcon->toolTip(), QStringLiteral("Veilport\n203.0.113.7 (France), elite"));

    // A failed check takes the hiding sentence back at once. Applied again before a check passed, the proxy ends
    // the testing display but keeps the warning; the next check that passes gives the sentence back.
    emit manager().proxyCheckFailed(rec.Proxy);
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(ui->lbHidingInfo->text(), kNotHiding);
    EXPECT_EQ(ui->spTrayIcon->toolTip(), QStringLiteral("Veilport"));
    emit manager().proxyChanged(rec);
    EXPECT_EQ(ui->lbHidingInfo->text(), kNotHiding);
    emit manager().proxyVerified(rec, QString());
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("127.0.0.5"));
    EXPECT_EQ(ui->lbHidingInfo->text(), hiding);

    // A proxy text without a port leaves the first line empty (the program's own network stack
    // refuses such a proxy and says so).
    messages.queueAnswer(TEngineServices::mrOk);
    manager().ApplyProxy(QStringLiteral("noport"));
    EXPECT_EQ(ui->lbIP->text(), QString());

    // Not hiding again.
    ui->acStopHide->trigger();
    EXPECT_EQ(w.HideAction(), ui->acVuvaVI);
    EXPECT_EQ(ui->btnHide->text(), QStringLiteral("&Hide"));
    EXPECT_EQ(ui->lbIP->text(), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(ui->lbHidingInfo->text(), kNotHiding);
    EXPECT_EQ(ui->spTrayIcon->toolTip(), QStringLiteral("Veilport"));
    EXPECT_FALSE(ui->imgFlag->isVisibleTo(&w));
    EXPECT_EQ(ui->imgFlag->pos(), QPoint(88, 375));
    EXPECT_EQ(ui->imgLocal->pos(), QPoint(88, 16));
}

// Hiding that was on when the window last closed resumes with every list that loads.
TEST_F(MainWindow, StoredHidingResumesWithEveryListThatLoads)
{
    start();
    const QString list = listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")});
    Settings()->WriteBool(QStringLiteral("Hiding"), true);
    for (int load = 0; load < 2; ++load) {
        manager().ProxyListReceived(list);
        EXPECT_EQ(form->HideAction(), ui->acStopHide) << "list " << load;
        // The user stops meanwhile; the next list starts hiding again.
        ui->acStopHide->trigger();
    }
    Settings()->WriteBool(QStringLiteral("Hiding"), false);
    manager().ProxyListReceived(list);
    EXPECT_EQ(form->HideAction(), ui->acVuvaVI);
}

TEST_F(MainWindow, TheWindowNeverSaysThatTheUserHidesWhileTheAppliedProxyFailsItsCheck)
{
    testsupport::TinyproxyFixture proxies;
    ASSERT_TRUE(proxies.start(2)) << qPrintable(proxies.errorText());
    testsupport::ListServiceFixture service;
    ASSERT_TRUE(service.start(
        {{proxies.proxyText(0), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")},
         {proxies.proxyText(1), QStringLiteral("Canada"), QStringLiteral("-75.6"), QStringLiteral("45.5")}}))
        << qPrintable(service.errorText());
    // The applied proxy is checked every second; no tunnel address, so plain HTTP decides.
    writeConstants(service.host().toUtf8(), "Proxy.CheckInterval=1\n");
    start();
    TfrmMainForm& w = *form;
    manager().DownloadProxyList(service.url(QStringLiteral("/getproxy.php")));
    ASSERT_TRUE(waitUntil([&] { return ui->acVuvaVI->isEnabled(); }, 10000));
    const QString own = manager().LocalIP();
    const QString hiding = QStringLiteral("You are hiding your real ip ") + own;

    // Hiding, and the first check has shown the address the sites see through the proxy.
    ui->acVuvaVI->trigger();
    int applied = -1;
    ASSERT_TRUE(waitUntil(
        [&] {
            applied = proxies.proxyTexts().indexOf(manager().CurrentProxy());
            return applied >= 0 && ui->lbIP->text() == testsupport::TinyproxyFixture::outgoingAddress(applied);
        },
        40000));
    EXPECT_EQ(ui->lbHidingInfo->text(), hiding);

    // The proxy dies: the next check fails, and at once the window warns and shows the own address, while
    // the command still stops hiding and the browsers keep the proxy until another one is found.
    proxies.stop(applied);
    ASSERT_TRUE(waitUntil([&] { return ui->lbHidingInfo->text() != hiding; }, 10000));
    EXPECT_EQ(ui->lbHidingInfo->text(), kNotHiding);
    EXPECT_EQ(ui->lbIP->text(), own);
    EXPECT_FALSE(ui->imgFlag->isVisibleTo(&w));
    EXPECT_EQ(ui->imgLocal->pos(), QPoint(88, 16));
    EXPECT_EQ(w.HideAction(), ui->acStopHide);
    EXPECT_TRUE(manager().Active());
    EXPECT_EQ(manager().CurrentProxy(), proxies.proxyText(applied));

    // The second failure moves to the other proxy, whose check shows the user hidden again.
    const int other = 1 - applied;
    ASSERT_TRUE(
        waitUntil([&] { return ui->lbIP->text() == testsupport::TinyproxyFixture::outgoingAddress(other); }, 20000));
    EXPECT_EQ(manager().CurrentProxy(), proxies.proxyText(other));
    EXPECT_EQ(ui->lbHidingInfo->text(), hiding);
    EXPECT_TRUE(ui->imgFlag->isVisibleTo(&w));
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    ui->acStopHide->trigger();
}

TEST_F(MainWindow, EmptyTestRunKeepsThePageAndAStopMidRunLetsTheGaugeRunOut)
{
    start();
    TfrmMainForm& w = *form;
    emit manager().progress(0, 0);
    EXPECT_TRUE(ui->wbMain->isVisibleTo(&w));
    EXPECT_FALSE(ui->lblProgressText->isVisibleTo(&w));
    EXPECT_FALSE(ui->tmProgress->Enabled());

    emit manager().progress(4, 2);
    ui->acStopHide->trigger();
    EXPECT_TRUE(ui->wbMain->isVisibleTo(&w));
    EXPECT_TRUE(ui->tmProgress->Enabled());
    const int before = ui->sgTesting->value();
    w.tmProgressTimer();
    EXPECT_EQ(ui->sgTesting->value(), before + 3);
    // The creeping gauge never passes its maximum.
    for (int i = 0; i < 1000; ++i)
        w.tmProgressTimer();
    EXPECT_EQ(ui->sgTesting->value(), ui->sgTesting->maximum());
}

TEST_F(MainWindow, CloseWithOkHidesAndStoresQuickSettingsWithoutEndingAndATickedNoticeIsNotAskedAgain)
{
    start();
    form->show();
    ui->cbClearCookie->setChecked(true);
    ui->edtChangeIPTime->setValue(7);
    messages.queueAnswer(TEngineServices::mrOk);
    EXPECT_FALSE(form->close());
    EXPECT_FALSE(form->ExitRequested);
    // With a tray the window hides; without one it is minimised so it can still be reached.
    if (form->TrayAvailable())
        EXPECT_FALSE(form->isVisible());
    else
        EXPECT_TRUE(form->isMinimized());
    const QList<testsupport::RecordingMessageBoxes::Record> shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Veilport will be minimized to the system tray.")));
    EXPECT_TRUE(shown[0].hasShowAgainBox);
    EXPECT_EQ(Settings()->ReadString(QStringLiteral("ChangeIPTime"), QString()), QStringLiteral("7"));
    EXPECT_TRUE(Settings()->ReadBool(QStringLiteral("ChearCookieWhenIPChanges"), false));
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("ChangeIP"), true));

    // A ticked notice is not asked again, and its answer applies.
    form->Open1Click();
    messages.queueAnswer(TEngineServices::mrOk, true);
    EXPECT_FALSE(form->close());
    messages.takeRecords();
    form->Open1Click();
    // No answer is queued: a shown dialog would block here; the stored answer hides again.
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_FALSE(form->ExitRequested);
}

// The info page's web view, and with it the page's renderer process, goes a while after the window was closed to
// the tray (minimised where there is none), and the same page is back once the window is opened again.
TEST_F(MainWindow, WhileTheWindowIsAwayTheInfoPageLetsGoOfItsRendererAndComesBackOnOpen)
{
    testsupport::LoopbackHttpResponder service;
    ASSERT_TRUE(service.listen(1));
    service.setReplyFor("/getproxy.php", 200, listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}).toUtf8());
    service.setReplyFor("/info.php", 200, "<html><body>info of the day</body></html>", "text/html");
    service.setReply(404, QByteArray());
    service.start();
    writeConstants(service.hostPort(0).toUtf8());
    start();
    auto* wbMain = child<InfoPagePane>(*form, "wbMain");
    wbMain->setReleaseDelay(300);
    const auto renderers = [] { return testsupport::webEnginePageProcesses(); };
    // The page's text arrives later than the question; it lands in a string that outlives the waiting.
    const auto text = std::make_shared<QString>();
    const auto showsTheInfoPage = [&] {
        text->clear();
        const bool shown = waitUntil(
            [&] {
                InfoPageView* view = wbMain->view();
                if (!view || !wbMain->isVisible() || view->url().path() != QStringLiteral("/info.php"))
                    return false;
                view->page()->toPlainText([text](const QString& plain) { *text = plain; });
                return text->contains(QStringLiteral("info of the day"));
            },
            30000);
        return shown && renderers() > 0;
    };

    form->show();
    ASSERT_TRUE(showsTheInfoPage()) << "view: "
                                    << (wbMain->view() ? qPrintable(wbMain->view()->url().toString()) : "none")
                                    << ", renderers: " << renderers();

    messages.queueAnswer(TEngineServices::mrOk);
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(waitUntil([&] { return wbMain->view() == nullptr; }, 10000)) << "the view outlived the window";
    EXPECT_TRUE(waitUntil([&] { return renderers() == 0; }, 10000)) << "the page's renderer process stays";

    form->Open1Click();
    EXPECT_TRUE(showsTheInfoPage()) << "the info page did not come back";
}

TEST_F(MainWindow, DismissingTheTrayNoticeEndsTheProgram)
{
    start();
    form->show();
    messages.queueAnswer(TEngineServices::mrCancel);
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(form->ExitRequested);
}

TEST_F(MainWindow, ExitWhileHidingStoresHidingOffAndInstanceCloseKeepsItOn)
{
    start();
    auto* acStopHide = child<QAction>(*form, "acStopHide");
    auto* acExit = child<QAction>(*form, "acExit");
    manager().ProxyListReceived(listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}));
    manager().ApplyProxy(QStringLiteral("127.0.0.5:9"));
    ASSERT_EQ(form->HideAction(), acStopHide);
    form->WMInstanceClose();
    EXPECT_TRUE(Settings()->ReadBool(QStringLiteral("Hiding"), false));
    EXPECT_TRUE(form->ExitRequested);

    form->ExitRequested = false;
    manager().ApplyProxy(QStringLiteral("127.0.0.5:9"));
    acExit->trigger();
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("Hiding"), true));
    EXPECT_FALSE(manager().Active());
    EXPECT_TRUE(form->ExitRequested);
}

TEST_F(MainWindow, InstanceMessagesAnswerTheIdAndEndTheSessionQuietly)
{
    start();
    EXPECT_EQ(form->WMInstanceQueryId(), 4242);
    form->WMDropFiles({QStringLiteral("/tmp/a"), QStringLiteral("/tmp/b")});
    EXPECT_FALSE(form->ExitRequested);
    form->WMEndSession();
    EXPECT_TRUE(form->ExitRequested);
    // The session's end closes without asking anything.
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
}

TEST_F(MainWindow, StoredQuickSettingsArmTheChangeClockAndTheManager)
{
    // Stored minutes that are not a number count as ten.
    for (const auto& [stored, minutes] : {std::pair{"7", 7}, std::pair{"soon", 10}}) {
        SCOPED_TRACE(stored);
        openSettings();
        Settings()->WriteString(QStringLiteral("ChangeIPTime"), QString::fromLatin1(stored));
        Settings()->WriteBool(QStringLiteral("ChangeIP"), true);
        Settings()->WriteBool(QStringLiteral("ChearCookieWhenIPChanges"), true);
        start();
        EXPECT_EQ(form->ChangeIPMinutes(), minutes);
        EXPECT_EQ(ui->edtChangeIPTime->value(), minutes);
        EXPECT_TRUE(ui->cbChangeIP->isChecked());
        EXPECT_TRUE(ui->cbClearCookie->isChecked());
        EXPECT_TRUE(ui->tmChangeIP->Enabled());
        EXPECT_EQ(ui->tmChangeIP->Interval(), minutes * 60000);
        EXPECT_TRUE(manager().AutoChange());
        EXPECT_TRUE(manager().ClearCookiesOnChange());
        stop();
    }
}

// The engine, the main window and its dialogs work on the settings store they are handed: with no
// process-wide store at all, what the user stored is read and what the user changes is stored there.
TEST_F(MainWindow, TheWindowsWorkOnTheSettingsStoreTheyAreGiven)
{
    writeConstants();
    TSettings settings(programFolder());
    DesktopBrowsers ownBrowsers(settings);
    Engine own(settings, ownBrowsers, std::make_unique<platform::XdgAutostart>(root.file(QStringLiteral("autostart"))));
    ASSERT_EQ(Settings(), nullptr);
    ASSERT_TRUE(own.StartSucceeded());
    settings.WriteString(QStringLiteral("ChangeIPTime"), QStringLiteral("7"));
    settings.WriteString(QStringLiteral("PROXYCOUNTRY"), QStringLiteral("France"));
    {
        TfrmMainForm window(own.Window());
        auto* edtChangeIPTime = child<QSpinBox>(window, "edtChangeIPTime");
        EXPECT_EQ(edtChangeIPTime->value(), 7);
        EXPECT_EQ(own.ProxyManager()->Country(), QStringLiteral("France"));
        edtChangeIPTime->setValue(9);
        window.ExitRequested = true;
        EXPECT_TRUE(window.close());

        TfrmOptionForm options(settings, own.Services(), &window);
        EXPECT_TRUE(options.cbHideHttps->isChecked());
        options.cbHideHttps->setChecked(false);
        options.btnOk->click();
    }
    EXPECT_EQ(settings.ReadString(QStringLiteral("ChangeIPTime"), QString()), QStringLiteral("9"));
    EXPECT_FALSE(settings.ReadBool(QStringLiteral("SETUPFF"), true)) << "the first run's offer is remembered";
    EXPECT_FALSE(settings.ReadBool(QStringLiteral("HideHttps"), true));
}

TEST_F(MainWindow, ChangedMinutesRestartTheClockAndTheSameMinutesDoNot)
{
    start();
    ui->cbChangeIP->click();
    ASSERT_TRUE(ui->tmChangeIP->Counting());
    EXPECT_EQ(ui->tmChangeIP->Interval(), 10 * 60000);
    EXPECT_TRUE(manager().AutoChange());

    ui->edtChangeIPTime->setValue(5);
    EXPECT_EQ(ui->tmChangeIP->Interval(), 5 * 60000);
    EXPECT_EQ(manager().ChangeInterval(), 5);
    const int start = ui->tmChangeIP->RemainingTime();
    EXPECT_TRUE(waitUntil([&] { return ui->tmChangeIP->RemainingTime() <= start - 60; }, 5000));
    // Typing the same value again keeps the countdown.
    ui->edtChangeIPTime->setValue(4);
    ui->edtChangeIPTime->setValue(5);
    EXPECT_GT(ui->tmChangeIP->RemainingTime(), 5 * 60000 - 1000);
    const int running = ui->tmChangeIP->RemainingTime();
    EXPECT_TRUE(waitUntil([&] { return ui->tmChangeIP->RemainingTime() <= running - 60; }, 5000));
    form->cbChangeIPClick(); // code setting the state it already has
    EXPECT_LE(ui->tmChangeIP->RemainingTime(), running - 50);

    ui->cbChangeIP->click();
    EXPECT_FALSE(ui->tmChangeIP->Counting());
    EXPECT_FALSE(manager().AutoChange());
    // Minutes typed while the box is off leave the clock off.
    ui->edtChangeIPTime->setValue(3);
    EXPECT_FALSE(ui->tmChangeIP->Counting());
}

TEST_F(MainWindow, ChangeTickWhileNotHidingChangesAndShowsNothing)
{
    start();
    auto* lbHidingInfo = child<QLabel>(*form, "lbHidingInfo");
    manager().ProxyListReceived(listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}));
    messages.takeRecords();
    form->tmChangeIPTimer();
    EXPECT_FALSE(manager().Active());
    EXPECT_TRUE(manager().CurrentProxy().isEmpty());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_EQ(lbHidingInfo->text(), kNotHiding);
}

// The check page compares the address it sees with the user's own, which it is handed from the list.
TEST_F(MainWindow, CheckWhatSitesSeeOpensTheCheckPageWithTheOwnAddressInTheDefaultBrowser)
{
    writeConstants("127.0.0.1:1", "URL.CHECK=http://127.0.0.1:1/check\n");
    const QString opened = root.file(QStringLiteral("opened.txt"));
    const QString browser =
        root.write(QStringLiteral("bin/browser"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + opened.toUtf8() + "'\n");
    QFile::setPermissions(browser, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    testsupport::ScopedEnv command("BROWSER", browser.toUtf8());
    start();
    manager().ProxyListReceived(
        listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}, QStringLiteral("5.6.7.8")));

    auto* check = child<QAction>(*form, "acCheckWhatSitesSee");
    int offeredIn = 0;
    for (const QMenu* menu : form->findChildren<QMenu*>())
        offeredIn += menu->actions().contains(check) ? 1 : 0;
    EXPECT_EQ(offeredIn, 3) << "the tray's, the window's and the main menu's";
    check->trigger();
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(opened).size() > 0; }, 10000));
    QFile file(opened);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString url = QString::fromUtf8(file.readAll()).trimmed();
    EXPECT_TRUE(url.startsWith(QStringLiteral("http://127.0.0.1:1/check?"))) << url.toStdString();
    EXPECT_TRUE(url.endsWith(QStringLiteral("&LocalIP=5.6.7.8"))) << url.toStdString();
}

TEST_F(MainWindow, TheWindowsPlaceIsStoredOnceShownAndRestoredOnAVisibleScreen)
{
    // With no stored place the window is centred, and moves count only after the first show.
    start();
    form->move(10, 20);
    EXPECT_EQ(Settings()->ReadInteger(QStringLiteral("MainForm.Left"), -1), -1);
    form->show();
    EXPECT_TRUE(form->FirstShowDone);
    const QSize screenSize = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(form->pos(), QPoint((screenSize.width() - 476) / 2, (screenSize.height() - 302) / 2));
    EXPECT_EQ(form->size(), QSize(476, 302));
    form->move(31, 41);
    EXPECT_TRUE(waitUntil([] { return Settings()->ReadInteger(QStringLiteral("MainForm.Left"), -1) == 31; }, 5000));
    EXPECT_EQ(Settings()->ReadInteger(QStringLiteral("MainForm.Top"), -1), 41);
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("FirstTimeRun"), true));
    stop();

    // The stored place is restored; a stored width of zero keeps the designed size.
    openSettings();
    Settings()->WriteInteger(QStringLiteral("MainForm.Width"), 0);
    start();
    form->show();
    EXPECT_EQ(form->pos(), QPoint(31, 41));
    EXPECT_EQ(form->size(), QSize(476, 302));
    stop();

    // A place on a monitor that is gone opens on a visible screen.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    for (const QPoint stored :
         {QPoint(screen.right() + 2000, screen.bottom() + 1500), QPoint(-3000, 40), QPoint(40, -2000)}) {
        openSettings();
        Settings()->WriteInteger(QStringLiteral("MainForm.Left"), stored.x());
        Settings()->WriteInteger(QStringLiteral("MainForm.Top"), stored.y());
        start();
        form->show();
        EXPECT_TRUE(screen.contains(form->frameGeometry())) << stored.x() << "," << stored.y();
        stop();
    }
}

TEST_F(MainWindow, SettingsThatCannotBeWrittenAreToldOnceAndTheWindowGoesOn)
{
    start();
    auto* acSetupBrowser = child<QAction>(*form, "acSetupBrowser");
    auto* cbClearCookie = child<QCheckBox>(*form, "cbClearCookie");
    form->show();
    // The settings file turns into a folder: every later save fails, as on a full or vanished disk.
    const QString file = settingsFolder() + QStringLiteral("Setting.dat");
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(QDir().mkdir(file));
    for (int answer = 0; answer < 5; ++answer)
        messages.queueAnswer(TEngineServices::mrOk);

    // A drag: many moves, stored once they settle.
    for (int step = 0; step < 5; ++step)
        form->move(40 + step, 50);
    QList<testsupport::RecordingMessageBoxes::Record> shown;
    EXPECT_TRUE(waitUntil(
        [&] {
            shown += messages.takeRecords();
            return !shown.isEmpty();
        },
        3000));
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].msgType, TEngineServices::mtError);
    EXPECT_TRUE(shown[0].text.contains(QStringLiteral("Setting.dat"))) << shown[0].text.toStdString();

    // Later failures are not told again: a menu action, another drag, a quick setting, a close to
    // the tray (which stores the quick settings and the place not yet settled).
    acSetupBrowser->trigger();
    form->move(70, 80);
    cbClearCookie->click();
    EXPECT_FALSE(form->close());
    shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Veilport will be minimized"))) << shown[0].text.toStdString();
    EXPECT_FALSE(form->ExitRequested);
    QDir().rmdir(file);
}

// The first show downloads the list, unless one is stored: then the window is ready at once.
TEST_F(MainWindow, FirstShowIsReadyAtOnceWithAStoredListAndShowsTheDownloadOtherwise)
{
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored list" : "no list");
        openSettings();
        if (stored) {
            QFile list(Settings()->SettingsFolder() + QStringLiteral("proxylist.lst"));
            ASSERT_TRUE(list.open(QIODevice::WriteOnly));
            list.write(
                listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}, QStringLiteral("5.6.7.8")).toUtf8());
        }
        start();
        form->show();
        EXPECT_EQ(ui->acVuvaVI->isEnabled(), stored);
        EXPECT_EQ(ui->wbMain->isVisibleTo(form.get()), stored);
        EXPECT_EQ(ui->tmProgress->Enabled(), !stored);
        EXPECT_EQ(ui->lblProgressText->isVisibleTo(form.get()), !stored);
        if (stored)
            EXPECT_EQ(ui->lbIP->text(), QStringLiteral("5.6.7.8"));
        else
            EXPECT_EQ(ui->lblProgressText->text(), text("TEXT_DOWNLOADINGPROXYLIST"));
        stop();
    }
}

TEST_F(MainWindow, AlwaysOnTopTogglesAndIsNotStored)
{
    start();
    auto* acAlwaysOnTop = child<QAction>(*form, "acAlwaysOnTop");
    EXPECT_FALSE(form->StayOnTop);
    acAlwaysOnTop->trigger();
    EXPECT_TRUE(form->StayOnTop);
    EXPECT_TRUE(acAlwaysOnTop->isChecked());
    EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    acAlwaysOnTop->trigger();
    EXPECT_FALSE(form->StayOnTop);
    EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(MainWindow, SetupBrowserRunsOnceAndClearCookieTellsTheUserWhatWasClearedWhere)
{
    start();
    auto* acClearCookie = child<QAction>(*form, "acClearCookie");
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("SETUPFF"), true));
    messages.queueAnswer(TEngineServices::mrOk);
    acClearCookie->trigger();
    QList<testsupport::RecordingMessageBoxes::Record> shown;
    // Told once the companions had their say: none is connected here, so at once, and not as a success
    // for browsers that were never reached.
    ASSERT_TRUE(waitUntil(
        [&] {
            shown += messages.takeRecords();
            return !shown.isEmpty();
        },
        5000));
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].text.contains(QStringLiteral("Veilport's own web view"))) << shown[0].text.toStdString();
    EXPECT_TRUE(shown[0].text.contains(QStringLiteral("No browser companion is connected")))
        << shown[0].text.toStdString();
}

TEST_F(MainWindow, TheAboutBoxAndTheCaptionFollowTheLanguage)
{
    root.write(QStringLiteral("program/langs/Deutsch.lan"),
               "[Info]\nLanguage=Deutsch\nTranslator=Anna\n[ResString]\nstrAppName=Veilport DE\n");
    start();
    {
        TfrmAboutForm about(Settings()->GetConst(QStringLiteral("App.Ver")), engine->Services(), form.get());
        EXPECT_EQ(about.lbAbout->text(), QStringLiteral("Veilport"));
        // The built-in English data holds the pattern "Version %1".
        EXPECT_EQ(about.lbVersion->text(), QStringLiteral("Version 1.0.0.0"));
        // English needs no translator credit.
        EXPECT_TRUE(about.lbTranslater->text().isEmpty());
    }
    engine->Services().SetLanguage(QStringLiteral("Deutsch"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Veilport DE  1.0.0.0"));
    TfrmAboutForm about(Settings()->GetConst(QStringLiteral("App.Ver")), engine->Services(), form.get());
    EXPECT_EQ(about.lbTranslater->text(), QStringLiteral("Deutsch is tranlated by \r\nAnna"));
}

// The options dialog's https box reaches every place that sends secure pages through the proxy: the desktop's
// settings and the browsers' companions at the next apply, and the test that a proxy tunnels secure pages at once.
TEST_F(MainWindow, TheOptionsHttpsBoxReachesTheDesktopTheCompanionsAndTheTunnelTest)
{
    writeConstants("127.0.0.1:1", "URL.TUNNELTEST=https://127.0.0.1:1/tunnel\n");
    start();
    auto* acOption = child<QAction>(*form, "acOption");
    platform::GnomeProxySettings gnome;
    if (!gnome.isAvailable())
        GTEST_SKIP() << "no GSettings proxy schema";
    testsupport::CompanionPeer companion(browsers->companions(), R"({"browser":"chromium"})");
    EXPECT_EQ(manager().Tester().TunnelUrl(), QStringLiteral("https://127.0.0.1:1/tunnel"));

    // Ticks the box as asked in the dialog the main window opens, and presses OK.
    const auto chooseInOptions = [&](bool hideHttps) {
        bool pressed = false;
        const QDeadlineTimer deadline(10000);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* options = qobject_cast<TfrmOptionForm*>(widget);
                if (!options || !options->isVisible())
                    continue;
                if (deadline.hasExpired()) {
                    options->reject();
                    return;
                }
                options->pcSetting->setCurrentWidget(options->tsBrowser);
                options->cbHideHttps->setChecked(hideHttps);
                pressed = true;
                options->btnOk->click();
            }
        });
        poll.start(10);
        acOption->trigger();
        return pressed;
    };
    // What the desktop's https proxy and the companion's command say after applying proxy.
    const auto apply = [&](const QString& proxy) {
        // Nothing listens at the proxy: its check would fail it over at once.
        manager().SetLeakCheck(false);
        manager().ApplyProxy(proxy);
        // Written in order on the desktop writer's thread: this job runs once the apply's writes are done.
        auto written = std::make_shared<std::atomic_bool>(false);
        browsers->post([written] { *written = true; });
        waitUntil([&] { return written->load(); }, 10000);
        auto command = companion.next();
        // The WebRTC command that follows each proxy command is not what this test is about.
        while (command && command->value(QStringLiteral("cmd")).toString() == QStringLiteral("setWebRtc"))
            command = companion.next();
        return (gnome.readKey(QStringLiteral("org.gnome.system.proxy.https"), QStringLiteral("host")) + " / " +
                (command ? QString::fromUtf8(QJsonDocument(*command).toJson(QJsonDocument::Compact)) : "nothing"))
            .toStdString();
    };

    ASSERT_TRUE(chooseInOptions(false));
    EXPECT_EQ(manager().Tester().TunnelUrl(), QString());
    EXPECT_EQ(apply(QStringLiteral("127.0.0.5:9")),
              R"('' / {"cmd":"setProxy","host":"127.0.0.5","https":false,"id":0,"port":9})");

    ASSERT_TRUE(chooseInOptions(true));
    EXPECT_EQ(manager().Tester().TunnelUrl(), QStringLiteral("https://127.0.0.1:1/tunnel"));
    EXPECT_EQ(apply(QStringLiteral("127.0.0.6:9")),
              R"('127.0.0.6' / {"cmd":"setProxy","host":"127.0.0.6","https":true,"id":0,"port":9})");
}
