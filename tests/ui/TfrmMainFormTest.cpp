#include "MainWindowFixture.h"

#include "browsers/GnomeProxySettings.h"
#include "support/CompanionPeer.h"
#include "support/ListServiceFixture.h"
#include "support/TinyproxyFixture.h"
#include "support/Wait.h"
#include "ui/TfrmAboutForm.h"
#include "ui/TfrmOptionForm.h"
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

QStringList MenuTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

} // namespace

using MainWindow = MainWindowFixture;
using testsupport::waitUntil;

TEST_F(MainWindow, ControlsCarryTheirCaptionsAndTheWindowStartsNotHiding)
{
    start();
    TfrmMainForm& w = *form;
    EXPECT_EQ(w.metaObject()->className(), QByteArray("TfrmMainForm"));
    // The window is the engine window's view and message-box owner while it exists, and only then.
    EXPECT_EQ(engine->Hiding()->MainView(), form.get());
    EXPECT_EQ(engine->Services().MainWindow(), form.get());
    EXPECT_EQ(w.size(), QSize(476, 302));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_FALSE(w.mmbMainMenu->isVisibleTo(&w));

    EXPECT_FALSE(w.imgFlag->isVisibleTo(&w));
    EXPECT_EQ(w.spSkinButton3->text(), QStringLiteral("Clear Cookies"));
    EXPECT_EQ(w.spSkinPanel2->title(), QStringLiteral("Quick Settings"));
    EXPECT_EQ(w.lblFakeLoc->text(), QStringLiteral("Fake location: "));
    EXPECT_EQ(w.cbChangeIP->text(), QStringLiteral("Change IP Every               Minutes "));
    EXPECT_EQ(w.edtChangeIPTime->minimum(), 1);
    EXPECT_EQ(w.edtChangeIPTime->maximum(), 120);
    EXPECT_EQ(w.edtChangeIPTime->value(), 10);
    EXPECT_EQ(w.cbClearCookie->text(), QStringLiteral("Clear Cookies When IP Changes"));
    EXPECT_FALSE(w.sgTesting->isVisibleTo(&w));
    EXPECT_EQ(w.sgTesting->maximum(), 400);
    EXPECT_EQ(w.tmProgress->Interval(), 100);
    EXPECT_FALSE(w.tmProgress->Enabled());

    // The stop-hide at creation leaves the not-hiding display with Hide still disabled.
    EXPECT_EQ(w.HideAction(), w.acVuvaVI);
    EXPECT_EQ(w.btnHide->text(), QStringLiteral("&Hide"));
    EXPECT_FALSE(w.btnHide->isEnabled());
    EXPECT_EQ(w.lbHidingInfo->text(), kNotHiding);
    EXPECT_EQ(w.lbIP->text(), QString());
    EXPECT_EQ(w.lblIPCountry->text(), QStringLiteral("Auto Selected"));

    EXPECT_EQ(MenuTexts(w.pmTrayIcon),
              (QStringList{QStringLiteral("&Hide"), QStringLiteral("&Check IP"), QStringLiteral("Choose IP Country"),
                           QStringLiteral("&Open..."), QStringLiteral("Home &Page..."), QStringLiteral("-"),
                           QStringLiteral("&Update..."), QStringLiteral("&About..."), QStringLiteral("E&xit")}));
    EXPECT_EQ(MenuTexts(w.pmSystem),
              (QStringList{QStringLiteral("&Always On Top"), QStringLiteral("-"), QStringLiteral("&Update..."),
                           QStringLiteral("Home &Page..."), QStringLiteral("&About..."), QStringLiteral("-"),
                           QStringLiteral("E&xit")}));

    form->ExitRequested = true;
    form.reset();
    EXPECT_EQ(engine->Hiding()->MainView(), nullptr);
    EXPECT_EQ(engine->Services().MainWindow(), nullptr);
}

TEST_F(MainWindow, MainMenuConstantShowsTheMenuBarAndMovesTheRestDown)
{
    writeConstants("127.0.0.1:1", "MainForm.MainMenu=1\n");
    start();
    EXPECT_TRUE(form->mmbMainMenu->isVisibleTo(form.get()));
    EXPECT_EQ(form->spSkinPanel2->geometry(), QRect(8, 165 + 22, 449, 113));
    EXPECT_EQ(form->height(), 302 + 22);
    QStringList titles;
    for (QAction* a : form->mmbMainMenu->actions())
        titles << a->text();
    EXPECT_EQ(titles, (QStringList{QStringLiteral("&File"), QStringLiteral("&View"), QStringLiteral("&Tools"),
                                   QStringLiteral("&Help")}));
}

TEST_F(MainWindow, DisplayFollowsListTestingHidingAndStopping)
{
    start();
    TfrmMainForm& w = *form;
    manager().ProxyListReceived(listText({QStringLiteral("127.0.0.5:9|anon|France|http://127.0.0.1:1/fr.png|2.3|48.8"),
                                          QStringLiteral("noport|anon|France|http://127.0.0.1:1/fr.png|2.3|48.8")}));
    // Ready: own address, Hide enabled, the list kept for the next start.
    EXPECT_EQ(w.lbIP->text(), QStringLiteral("1.2.3.4"));
    EXPECT_TRUE(w.btnHide->isEnabled());
    EXPECT_FALSE(w.lblProgressText->isVisibleTo(&w));
    EXPECT_TRUE(w.wbMain->isVisibleTo(&w));
    EXPECT_TRUE(QFileInfo::exists(settingsFolder() + QStringLiteral("proxylist.lst")));

    // Testing: the button carries Stop Hide, the gauge replaces the page.
    w.SetHideAction(w.acStopHide);
    emit manager().progress(3, 1);
    EXPECT_EQ(w.btnHide->text(), QStringLiteral("S&top Hide"));
    EXPECT_EQ(w.miHide->text(), QStringLiteral("S&top Hide"));
    EXPECT_FALSE(w.wbMain->isVisibleTo(&w));
    EXPECT_TRUE(w.tmProgress->Enabled());
    EXPECT_EQ(w.sgTesting->maximum(), 3000);
    EXPECT_EQ(w.sgTesting->value(), 1000);
    EXPECT_TRUE(w.lblProgressText->isVisibleTo(&w));
    EXPECT_EQ(w.lblProgressText->text(), EngineServices().LangText(QStringLiteral("TEXT_TESTPROXY")));
    w.tmProgressTimer();
    EXPECT_EQ(w.sgTesting->value(), 1003);
    EXPECT_TRUE(w.sgTesting->isVisibleTo(&w));

    // Hiding: the proxy's host on the first line, the sentence with the own address on the second.
    manager().ApplyProxy(QStringLiteral("127.0.0.5:9"));
    EXPECT_EQ(w.lbIP->text(), QStringLiteral("127.0.0.5"));
    EXPECT_EQ(w.lbHidingInfo->text(), QStringLiteral("You are hiding your real ip 1.2.3.4"));
    EXPECT_TRUE(w.imgFlag->isVisibleTo(&w));
    EXPECT_EQ(w.imgFlag->pos(), QPoint(88, 16));
    EXPECT_EQ(w.imgLocal->pos(), QPoint(88, 37));
    EXPECT_FALSE(w.tmProgress->Enabled());
    EXPECT_FALSE(w.sgTesting->isVisibleTo(&w));
    EXPECT_TRUE(w.wbMain->isVisibleTo(&w));
    EXPECT_EQ(w.lblProgressText->text(), QString());

    // A proxy text without a port leaves the first line empty (the program's own network stack
    // refuses such a proxy and says so).
    messages.queueAnswer(TEngineServices::mrOk);
    manager().ApplyProxy(QStringLiteral("noport"));
    EXPECT_EQ(w.lbIP->text(), QString());

    // Not hiding again.
    w.acStopHide->trigger();
    EXPECT_EQ(w.HideAction(), w.acVuvaVI);
    EXPECT_EQ(w.btnHide->text(), QStringLiteral("&Hide"));
    EXPECT_EQ(w.lbIP->text(), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(w.lbHidingInfo->text(), kNotHiding);
    EXPECT_FALSE(w.imgFlag->isVisibleTo(&w));
    EXPECT_EQ(w.imgFlag->pos(), QPoint(88, 375));
    EXPECT_EQ(w.imgLocal->pos(), QPoint(88, 16));
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
    ASSERT_TRUE(waitUntil([&] { return w.acVuvaVI->isEnabled(); }, 10000));
    const QString own = manager().LocalIP();
    const QString hiding = QStringLiteral("You are hiding your real ip ") + own;

    // Hiding, and the first check has shown the address the sites see through the proxy.
    w.acVuvaVI->trigger();
    int applied = -1;
    ASSERT_TRUE(waitUntil(
        [&] {
            applied = proxies.proxyTexts().indexOf(manager().CurrentProxy());
            return applied >= 0 && w.lbIP->text() == testsupport::TinyproxyFixture::outgoingAddress(applied);
        },
        40000));
    EXPECT_EQ(w.lbHidingInfo->text(), hiding);

    // The proxy dies: the next check fails, and at once the window warns and shows the own address, while
    // the command still stops hiding and the browsers keep the proxy until another one is found.
    proxies.stop(applied);
    ASSERT_TRUE(waitUntil([&] { return w.lbHidingInfo->text() != hiding; }, 10000));
    EXPECT_EQ(w.lbHidingInfo->text(), kNotHiding);
    EXPECT_EQ(w.lbIP->text(), own);
    EXPECT_FALSE(w.imgFlag->isVisibleTo(&w));
    EXPECT_EQ(w.imgLocal->pos(), QPoint(88, 16));
    EXPECT_EQ(w.HideAction(), w.acStopHide);
    EXPECT_TRUE(manager().Active());
    EXPECT_EQ(manager().CurrentProxy(), proxies.proxyText(applied));

    // The second failure moves to the other proxy, whose check shows the user hidden again.
    const int other = 1 - applied;
    ASSERT_TRUE(
        waitUntil([&] { return w.lbIP->text() == testsupport::TinyproxyFixture::outgoingAddress(other); }, 20000));
    EXPECT_EQ(manager().CurrentProxy(), proxies.proxyText(other));
    EXPECT_EQ(w.lbHidingInfo->text(), hiding);
    EXPECT_TRUE(w.imgFlag->isVisibleTo(&w));
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    w.acStopHide->trigger();
}

TEST_F(MainWindow, EmptyTestRunKeepsThePageAndAStopMidRunLetsTheGaugeRunOut)
{
    start();
    TfrmMainForm& w = *form;
    emit manager().progress(0, 0);
    EXPECT_TRUE(w.wbMain->isVisibleTo(&w));
    EXPECT_FALSE(w.lblProgressText->isVisibleTo(&w));
    EXPECT_FALSE(w.tmProgress->Enabled());

    emit manager().progress(4, 2);
    w.acStopHide->trigger();
    EXPECT_TRUE(w.wbMain->isVisibleTo(&w));
    EXPECT_TRUE(w.tmProgress->Enabled());
    const int before = w.sgTesting->value();
    w.tmProgressTimer();
    EXPECT_EQ(w.sgTesting->value(), before + 3);
    // The creeping gauge never passes its maximum.
    for (int i = 0; i < 1000; ++i)
        w.tmProgressTimer();
    EXPECT_EQ(w.sgTesting->value(), w.sgTesting->maximum());
}

TEST_F(MainWindow, CloseWithOkHidesAndStoresQuickSettingsWithoutEnding)
{
    start();
    form->show();
    form->cbClearCookie->setChecked(true);
    form->edtChangeIPTime->setValue(7);
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
}

TEST_F(MainWindow, DismissingTheTrayNoticeEndsTheProgram)
{
    start();
    form->show();
    messages.queueAnswer(TEngineServices::mrCancel);
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(form->ExitRequested);
}

TEST_F(MainWindow, TickedTrayNoticeIsNotAskedAgainAndItsAnswerApplies)
{
    start();
    form->show();
    messages.queueAnswer(TEngineServices::mrOk, true);
    EXPECT_FALSE(form->close());
    messages.takeRecords();
    form->Open1Click();
    // No answer is queued: a shown dialog would block here; the stored answer hides again.
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_FALSE(form->ExitRequested);
}

TEST_F(MainWindow, ExitWhileHidingStoresHidingOffAndInstanceCloseKeepsItOn)
{
    start();
    manager().ProxyListReceived(listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}));
    manager().ApplyProxy(QStringLiteral("127.0.0.5:9"));
    ASSERT_EQ(form->HideAction(), form->acStopHide);
    form->WMInstanceClose();
    EXPECT_TRUE(Settings()->ReadBool(QStringLiteral("Hiding"), false));
    EXPECT_TRUE(form->ExitRequested);

    form->ExitRequested = false;
    manager().ApplyProxy(QStringLiteral("127.0.0.5:9"));
    form->acExit->trigger();
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
    openSettings();
    Settings()->WriteString(QStringLiteral("ChangeIPTime"), QStringLiteral("7"));
    Settings()->WriteBool(QStringLiteral("ChangeIP"), true);
    Settings()->WriteBool(QStringLiteral("ChearCookieWhenIPChanges"), true);
    start();
    EXPECT_EQ(form->edtChangeIPTime->value(), 7);
    EXPECT_TRUE(form->cbChangeIP->isChecked());
    EXPECT_TRUE(form->cbClearCookie->isChecked());
    EXPECT_TRUE(form->tmChangeIP->Enabled());
    EXPECT_EQ(form->tmChangeIP->Interval(), 7 * 60000);
    EXPECT_TRUE(manager().AutoChange());
    EXPECT_TRUE(manager().ClearCookiesOnChange());
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
        EXPECT_EQ(window.edtChangeIPTime->value(), 7);
        EXPECT_EQ(own.ProxyManager()->Country(), QStringLiteral("France"));
        window.edtChangeIPTime->setValue(9);
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

TEST_F(MainWindow, StoredMinutesThatAreNotANumberCountAsTen)
{
    openSettings();
    Settings()->WriteString(QStringLiteral("ChangeIPTime"), QStringLiteral("soon"));
    Settings()->WriteBool(QStringLiteral("ChangeIP"), true);
    start();
    EXPECT_TRUE(form->cbChangeIP->isChecked());
    EXPECT_EQ(form->ChangeIPMinutes(), 10);
    EXPECT_EQ(form->tmChangeIP->Interval(), 10 * 60000);
}

TEST_F(MainWindow, ChangedMinutesRestartTheClockAndTheSameMinutesDoNot)
{
    start();
    form->cbChangeIP->click();
    ASSERT_TRUE(form->tmChangeIP->Counting());
    EXPECT_EQ(form->tmChangeIP->Interval(), 10 * 60000);
    EXPECT_TRUE(manager().AutoChange());

    form->edtChangeIPTime->setValue(5);
    EXPECT_EQ(form->tmChangeIP->Interval(), 5 * 60000);
    EXPECT_EQ(manager().ChangeInterval(), 5);
    const int start = form->tmChangeIP->RemainingTime();
    EXPECT_TRUE(waitUntil([&] { return form->tmChangeIP->RemainingTime() <= start - 60; }, 5000));
    // Typing the same value again keeps the countdown.
    form->edtChangeIPTime->setValue(4);
    form->edtChangeIPTime->setValue(5);
    EXPECT_GT(form->tmChangeIP->RemainingTime(), 5 * 60000 - 1000);
    const int running = form->tmChangeIP->RemainingTime();
    EXPECT_TRUE(waitUntil([&] { return form->tmChangeIP->RemainingTime() <= running - 60; }, 5000));
    form->cbChangeIPClick(); // code setting the state it already has
    EXPECT_LE(form->tmChangeIP->RemainingTime(), running - 50);

    form->cbChangeIP->click();
    EXPECT_FALSE(form->tmChangeIP->Counting());
    EXPECT_FALSE(manager().AutoChange());
    // Minutes typed while the box is off leave the clock off.
    form->edtChangeIPTime->setValue(3);
    EXPECT_FALSE(form->tmChangeIP->Counting());
}

TEST_F(MainWindow, ChangeTickWhileNotHidingChangesAndShowsNothing)
{
    start();
    manager().ProxyListReceived(listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}));
    messages.takeRecords();
    form->tmChangeIPTimer();
    EXPECT_FALSE(manager().Active());
    EXPECT_TRUE(manager().CurrentProxy().isEmpty());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_EQ(form->lbHidingInfo->text(), kNotHiding);
}

TEST_F(MainWindow, WithNoStoredPlaceTheWindowIsCentredAndMovesCountOnlyAfterTheFirstShow)
{
    start();
    form->move(10, 20);
    EXPECT_EQ(Settings()->ReadInteger(QStringLiteral("MainForm.Left"), -1), -1);
    form->show();
    EXPECT_TRUE(form->FirstShowDone);
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(form->pos(), QPoint((screen.width() - 476) / 2, (screen.height() - 302) / 2));
    EXPECT_EQ(form->size(), QSize(476, 302));
    form->move(31, 41);
    EXPECT_TRUE(waitUntil([] { return Settings()->ReadInteger(QStringLiteral("MainForm.Left"), -1) == 31; }, 5000));
    EXPECT_EQ(Settings()->ReadInteger(QStringLiteral("MainForm.Top"), -1), 41);
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("FirstTimeRun"), true));
}

TEST_F(MainWindow, StoredPlaceIsRestoredAndAZeroSizeKeepsTheDesignedOne)
{
    openSettings();
    Settings()->WriteInteger(QStringLiteral("MainForm.Left"), 12);
    Settings()->WriteInteger(QStringLiteral("MainForm.Top"), 34);
    Settings()->WriteInteger(QStringLiteral("MainForm.Width"), 0);
    start();
    form->show();
    EXPECT_EQ(form->pos(), QPoint(12, 34));
    EXPECT_EQ(form->size(), QSize(476, 302));
}

TEST_F(MainWindow, APlaceStoredOnAMonitorThatIsGoneOpensOnAVisibleScreen)
{
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
    form->acSetupBrowser->trigger();
    form->move(70, 80);
    form->cbClearCookie->click();
    EXPECT_FALSE(form->close());
    shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Veilport will be minimized"))) << shown[0].text.toStdString();
    EXPECT_FALSE(form->ExitRequested);
    QDir().rmdir(file);
}

TEST_F(MainWindow, FirstShowWithoutStoredListShowsTheDownloadProgress)
{
    start();
    form->show();
    EXPECT_FALSE(form->wbMain->isVisibleTo(form.get()));
    EXPECT_TRUE(form->tmProgress->Enabled());
    EXPECT_TRUE(form->lblProgressText->isVisibleTo(form.get()));
    EXPECT_EQ(form->lblProgressText->text(), EngineServices().LangText(QStringLiteral("TEXT_DOWNLOADINGPROXYLIST")));
    EXPECT_FALSE(form->acVuvaVI->isEnabled());
}

TEST_F(MainWindow, FirstShowWithAStoredListIsReadyAtOnce)
{
    openSettings();
    QFile list(Settings()->SettingsFolder() + QStringLiteral("proxylist.lst"));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(listText({QStringLiteral("127.0.0.5:9|anon|France||2.3|48.8")}, QStringLiteral("5.6.7.8")).toUtf8());
    list.close();
    start();
    form->show();
    EXPECT_TRUE(form->acVuvaVI->isEnabled());
    EXPECT_EQ(form->lbIP->text(), QStringLiteral("5.6.7.8"));
    EXPECT_TRUE(form->wbMain->isVisibleTo(form.get()));
    EXPECT_FALSE(form->tmProgress->Enabled());
}

TEST_F(MainWindow, AlwaysOnTopTogglesAndIsNotStored)
{
    start();
    EXPECT_FALSE(form->StayOnTop);
    form->acAlwaysOnTop->trigger();
    EXPECT_TRUE(form->StayOnTop);
    EXPECT_TRUE(form->acAlwaysOnTop->isChecked());
    EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    form->acAlwaysOnTop->trigger();
    EXPECT_FALSE(form->StayOnTop);
    EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(MainWindow, SetupBrowserRunsOnceAndClearCookieTellsTheUserWhatWasClearedWhere)
{
    start();
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("SETUPFF"), true));
    messages.queueAnswer(TEngineServices::mrOk);
    form->acClearCookie->trigger();
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

TEST_F(MainWindow, AboutBoxShowsTheVersionFromTheLanguagePattern)
{
    start();
    TfrmAboutForm about(Settings()->GetConst(QStringLiteral("App.Ver")), engine->Services(), form.get());
    EXPECT_EQ(about.size(), QSize(409, 155));
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Veilport"));
    EXPECT_EQ(about.lbAbout->text(), QStringLiteral("Veilport"));
    // The built-in English data holds the pattern "Version %1".
    EXPECT_EQ(about.lbVersion->text(), QStringLiteral("Version 1.0.0.0"));
    // English needs no translator credit.
    EXPECT_TRUE(about.lbTranslater->text().isEmpty());
}

TEST_F(MainWindow, CaptionAndTranslatorCreditFollowTheLanguage)
{
    root.write(QStringLiteral("program/langs/Deutsch.lan"),
               "[Info]\nLanguage=Deutsch\nTranslator=Anna\n[ResString]\nstrAppName=Veilport DE\n");
    start();
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
        form->acOption->trigger();
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
