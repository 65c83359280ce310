#include "ui/Engine.h"

#include "browsers/DesktopBrowsers.h"
#include "config/SettingsFolder.h"
#include "config/TSettings.h"
#include "platform/XdgAutostart.h"
#include "proxy/TProxyManager.h"
#include "support/PrivateHome.h"
#include "support/RecordingMessageBoxes.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "ui/ApplicationServices.h"
#include "ui/IMainView.h"
#include "ui/TMessageDialog.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/UpdateController.h"
#include "util/SPTools.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

QByteArray pngOfSize(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::darkGreen);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A private machine for one test: program folder with its own constants, user and all-users
// folders, and the desktop's settings kept in a temporary keyfile.
class EngineWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root.write(QStringLiteral("program/const.dat"), "[const]\nApp.ConfigPath=Veilport\nApp.ID=77\n");
        m_home.enter();
    }

    void TearDown() override
    {
        engine.reset();
        browsers.reset();
        DoneSettings();
    }

    // A common folder that cannot be created: its parent is a regular file (fails for root too).
    void makeCommonFolderUnusable()
    {
        m_home.setVariable(
            "VEILPORT_COMMON_DATA_DIR",
            (root.write(QStringLiteral("blocked"), "file, not folder") + QStringLiteral("/common")).toUtf8());
    }

    QString programFolder() const { return root.file(QStringLiteral("program")) + u'/'; }
    QString userFolder() const { return root.file(QStringLiteral("config/Veilport/")); }

    void start()
    {
        engine.reset();
        browsers.reset();
        DoneSettings();
        InitSettings(programFolder());
        browsers = std::make_unique<DesktopBrowsers>(*Settings());
        engine = std::make_unique<Engine>(
            *Settings(), *browsers, std::make_unique<platform::XdgAutostart>(root.file(QStringLiteral("autostart"))));
    }

    QByteArray userFlag() const { return root.read(QStringLiteral("config/Veilport/UserFlag.ini")); }

    TempDir root;
    // Every message box of the engine window, answered as the test queues answers.
    testsupport::RecordingMessageBoxes messages;
    std::unique_ptr<DesktopBrowsers> browsers;
    std::unique_ptr<Engine> engine;

private:
    testsupport::PrivateHome m_home{root.path()};
};

// Message-box tests need a main window: its caption titles the box and its absence silences it.
class EngineMessages : public EngineWindow
{
protected:
    void SetUp() override
    {
        EngineWindow::SetUp();
        start();
        ASSERT_TRUE(engine->StartSucceeded());
        mainWindow.setWindowTitle(QStringLiteral("Veilport  1.0.0.0"));
        engine->Services().SetMainWindow(&mainWindow);
    }

    int box(const QString& key, int showAgainId, int fixedResult = 0, const QStringList& args = {})
    {
        return engine->Services().ShowMessageBox(key, args, showAgainId, TEngineServices::mtInformation,
                                                 TEngineServices::mbOK, fixedResult);
    }

    QWidget mainWindow;
};

// Stands in for the main window: one line per thing the engine window has it show.
class RecordingMainView : public IMainView
{
public:
    void ShowListReady(const QString& address) override { calls << QStringLiteral("ready ") + address; }
    void ResumeHiding() override { calls << QStringLiteral("resume"); }
    void ShowTestProgress(int max, int current, const QString& text) override
    {
        calls << QStringLiteral("progress %1/%2 %3").arg(current).arg(max).arg(text);
    }
    void ShowHiding(const QString& address, const QString& info, const QString& trayHint) override
    {
        calls << QStringLiteral("hiding ") + address + u'|' + info + u'|' + trayHint;
    }
    void ShowSeenAddress(const QString& address, const QString& info, const QString& trayHint) override
    {
        calls << QStringLiteral("seen ") + address + u'|' + info + u'|' + trayHint;
    }
    void ShowProxyFailing(const QString& address, const QString& info, const QString& trayHint) override
    {
        calls << QStringLiteral("failing ") + address + u'|' + info + u'|' + trayHint;
    }
    void ShowNotHiding(const QString& address, const QString& info, const QString& trayHint) override
    {
        calls << QStringLiteral("not hiding ") + address + u'|' + info + u'|' + trayHint;
    }
    void ShowWebBlocked(const QString& headline, const QString& info, const QString& notice) override
    {
        calls << QStringLiteral("blocked ") + headline + u'|' + info + u'|' + notice;
    }
    void DrawLocalFlag(const QImage&, FlagFill) override { calls << QStringLiteral("local flag"); }
    void DrawProxyFlag(const QImage&, FlagFill) override { calls << QStringLiteral("proxy flag"); }
    void CloseForGood() override { calls << QStringLiteral("close"); }

    QStringList take() { return std::exchange(calls, {}); }

    QStringList calls;
};

// The hiding handlers, with a recording view in place of the main window.
class EngineHiding : public EngineWindow
{
protected:
    void SetUp() override
    {
        EngineWindow::SetUp();
        start();
        ASSERT_TRUE(engine->StartSucceeded());
        engine->Window().SetMainView(&view);
    }

    void TearDown() override
    {
        engine->Window().SetMainView(nullptr);
        EngineWindow::TearDown();
    }

    TProxyManager& manager() { return *engine->ProxyManager(); }

    const QString list = QStringLiteral("LocalIP=1.2.3.4\r\nLocalCountry=Germany\r\nProxyCount=1\r\n"
                                        "Proxy_0=127.0.0.5:9|anon|France||2.3|48.8\r\n");
    RecordingMainView view;
};

} // namespace

TEST_F(EngineWindow, FirstStartWithAWritableCommonFolderSharesSettingsWithoutAWord)
{
    start();
    ASSERT_TRUE(engine->StartSucceeded());
    EXPECT_TRUE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(userFlag().contains("AllUsers=1"));
    EXPECT_EQ(Settings()->SettingsFolder(), Settings()->CommonFolder());
    EXPECT_TRUE(QFileInfo::exists(root.file(QStringLiteral("common/Veilport/Setting.dat"))));
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_NE(engine->ProxyManager(), nullptr);
    // Language files address the hidden window by this name.
    EXPECT_EQ(engine->Window().objectName(), QStringLiteral("frmEngineWnd"));
}

TEST_F(EngineWindow, FirstStartWithoutCommonAccessTellsOnceAndKeepsSettingsPerUser)
{
    makeCommonFolderUnusable();
    QFile english(QStringLiteral(VEILPORT_TEST_SOURCE_DIR "/data/langs/English.lan"));
    ASSERT_TRUE(english.open(QIODevice::ReadOnly));
    root.write(QStringLiteral("program/langs/English.lan"), english.readAll());
    messages.queueAnswer(TEngineServices::mrOk);
    start();
    ASSERT_TRUE(engine->StartSucceeded());
    EXPECT_FALSE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(userFlag().contains("AllUsers=0"));
    EXPECT_EQ(Settings()->SettingsFolder(), userFolder());
    const auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    // The notice waits for the language, so a new user reads words, not keys.
    EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("The settings folder shared by all users cannot be written.")))
        << shown[0].text.toStdString();
    EXPECT_EQ(shown[0].caption, QStringLiteral("Veilport"));
    EXPECT_EQ(shown[0].msgType, TEngineServices::mtInformation);
    EXPECT_EQ(shown[0].buttons, TEngineServices::mbOK);
    EXPECT_FALSE(shown[0].hasShowAgainBox);

    // The next start remembers the choice and says nothing.
    start();
    EXPECT_FALSE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
}

TEST_F(EngineWindow, AStoredAllUsersChoiceThatLostItsAccessFallsBackWithTheNotice)
{
    start();
    ASSERT_TRUE(engine->Folder().AllUsersMode());
    makeCommonFolderUnusable();
    messages.queueAnswer(TEngineServices::mrOk);
    start();
    ASSERT_TRUE(engine->StartSucceeded());
    EXPECT_FALSE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(userFlag().contains("AllUsers=0"));
    EXPECT_EQ(messages.takeRecords().size(), 1);
}

TEST_F(EngineWindow, AnUnwritableUserFolderEndsTheStartWithAClearMessage)
{
    // Neither folder can be created: the per-user choice cannot even be stored.
    const QString blocker = root.write(QStringLiteral("config-file"), "file, not folder");
    ScopedEnv config("XDG_CONFIG_HOME", (blocker + QStringLiteral("/config")).toUtf8());
    makeCommonFolderUnusable();
    messages.queueAnswer(TEngineServices::mrOk); // the notice
    messages.queueAnswer(TEngineServices::mrOk); // the error
    start();
    EXPECT_FALSE(engine->StartSucceeded());
    EXPECT_EQ(engine->ProxyManager(), nullptr);
    const auto shown = messages.takeRecords();
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown.back().msgType, TEngineServices::mtError);
    EXPECT_TRUE(shown.back().text.contains(QStringLiteral("config"))) << shown.back().text.toStdString();
}

TEST_F(EngineMessages, WithoutAMainWindowNothingIsShownAndTheAnswerIsZero)
{
    engine->Services().SetMainWindow(nullptr);
    messages.queueAnswer(TEngineServices::mrOk);
    EXPECT_EQ(box(QStringLiteral("Hello"), 0), TEngineServices::mrNone);
    EXPECT_EQ(messages.queuedAnswers(), 1);
    EXPECT_TRUE(messages.takeRecords().isEmpty());
}

TEST_F(EngineMessages, TheBoxCarriesTheMainCaptionTheFilledTextAndItsTypeAndButtons)
{
    messages.queueAnswer(TEngineServices::mrYes);
    EXPECT_EQ(engine->Services().ShowMessageBox(QStringLiteral("%1 of %2 (%3)"),
                                                {QStringLiteral("3"), QStringLiteral("9")}, 0,
                                                TEngineServices::mtConfirmation, TEngineServices::mbYesNo, 0),
              TEngineServices::mrYes);
    const auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].caption, QStringLiteral("Veilport  1.0.0.0"));
    EXPECT_EQ(shown[0].text, QStringLiteral("3 of 9 ()"));
    EXPECT_EQ(shown[0].msgType, TEngineServices::mtConfirmation);
    EXPECT_EQ(shown[0].buttons, TEngineServices::mbYesNo);
    EXPECT_FALSE(shown[0].hasShowAgainBox);
}

TEST_F(EngineMessages, ATickedShowAgainBoxSilencesTheMessageUntilTheFlagsAreCleared)
{
    messages.queueAnswer(TEngineServices::mrOk, true);
    EXPECT_EQ(box(QStringLiteral("Minimized to the tray"), 31), TEngineServices::mrOk);
    auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].hasShowAgainBox);
    EXPECT_TRUE(shown[0].showAgainTicked);

    // Answered from the settings without showing anything; other numbers are unaffected.
    EXPECT_EQ(box(QStringLiteral("Minimized to the tray"), 31), TEngineServices::mrOk);
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_FALSE(Settings()->ReadShowAgain(31));
    EXPECT_TRUE(Settings()->ReadShowAgain(30));

    Settings()->ClearShowAgainFlags();
    messages.queueAnswer(TEngineServices::mrOk);
    box(QStringLiteral("Minimized to the tray"), 31);
    EXPECT_EQ(messages.takeRecords().size(), 1);
}

TEST_F(EngineMessages, TheRememberedAnswerIsTheButtonChosenUnlessTheCallerFixesOne)
{
    messages.queueAnswer(TEngineServices::mrCancel, true);
    EXPECT_EQ(box(QStringLiteral("Question"), 41), TEngineServices::mrCancel);
    EXPECT_EQ(Settings()->ReadShowAgainResult(41), TEngineServices::mrCancel);
    EXPECT_EQ(box(QStringLiteral("Question"), 41), TEngineServices::mrCancel);
    EXPECT_EQ(box(QStringLiteral("Question"), 41, TEngineServices::mrYes), TEngineServices::mrYes);
    EXPECT_TRUE(messages.takeRecords().size() == 1);
}

TEST_F(EngineMessages, AnUntickedBoxOrAMessageWithoutNumberKeepsAsking)
{
    messages.queueAnswer(TEngineServices::mrOk, false);
    box(QStringLiteral("Cookies cleared"), 30);
    messages.queueAnswer(TEngineServices::mrOk, true); // no box to tick without a number
    box(QStringLiteral("Plain"), 0);
    messages.queueAnswer(TEngineServices::mrOk);
    messages.queueAnswer(TEngineServices::mrOk);
    box(QStringLiteral("Cookies cleared"), 30);
    box(QStringLiteral("Plain"), 0);
    const auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 4);
    EXPECT_FALSE(shown[1].showAgainTicked);
    EXPECT_TRUE(Settings()->ReadShowAgain(30));
}

TEST_F(EngineMessages, AnErrorWithoutLanguageTextShowsItsKeyAsAnErrorBox)
{
    messages.queueAnswer(TEngineServices::mrOk);
    engine->Services().ShowErrorMessage(1011, QString());
    const auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].text, QStringLiteral("ERRORMSG_1011"));
    EXPECT_EQ(shown[0].msgType, TEngineServices::mtError);
    EXPECT_EQ(shown[0].buttons, TEngineServices::mbOK);
    EXPECT_EQ(shown[0].caption, QStringLiteral("Veilport  1.0.0.0"));
}

// The offer of an update answer is shown as the characters it holds: markup in it neither formats the
// box nor puts a link or an image into it.
TEST_F(EngineWindow, AnUpdateOfferIsShownAsPlainText)
{
    const QByteArray info = "<b>Update now!</b> <a href=\"http://elsewhere.example/\">here</a>"
                            "<img src=\"file:///etc/hostname\">";
    ASSERT_TRUE(Qt::mightBeRichText(QString::fromUtf8(info)));
    testsupport::ScriptedHttpServer service;
    service.setDefaultReply(testsupport::ScriptedHttpServer::Reply::http(
        200, "magicword=word\r\nResult=1\r\ninfo=" + info + "\r\npage=http://www.example/get\r\n"));
    root.write(QStringLiteral("program/const.dat"), "[const]\nApp.ConfigPath=Veilport\nApp.ID=77\nApp.MagicWord=word\n"
                                                    "URL.ServiceHost=" +
                                                        service.hostPort().toUtf8() + "\n");
    start();
    QWidget mainWindow;
    engine->Services().SetMainWindow(&mainWindow);

    // The box comes up inside the answer's handling; it is read and declined like a user would.
    QString shownText;
    Qt::TextFormat format = Qt::AutoText;
    bool shown = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<TMessageDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        const auto* label = dialog->findChild<QLabel*>(QStringLiteral("lbText"));
        shownText = label->text();
        format = label->textFormat();
        shown = true;
        dialog->findChild<QPushButton*>(QStringLiteral("MSG_BTN_CANCEL"))->click();
    });
    watcher.start(20);
    engine->Update().CheckForUpdate(true);
    ASSERT_TRUE(testsupport::waitUntil([&] { return shown && !engine->Update().UpdateBusy(); }, 20000));
    watcher.stop();
    engine->Services().SetMainWindow(nullptr);
    EXPECT_EQ(shownText, QString::fromUtf8(info));
    EXPECT_EQ(format, Qt::PlainText);
}

TEST_F(EngineHiding, StoredHidingResumesWithEveryListThatLoads)
{
    Settings()->WriteBool(QStringLiteral("Hiding"), true);
    manager().ProxyListReceived(list);
    EXPECT_EQ(view.take(), (QStringList{QStringLiteral("ready 1.2.3.4"), QStringLiteral("resume")}));
    // The user stopped meanwhile; the next list starts hiding again.
    manager().ProxyListReceived(list);
    EXPECT_EQ(view.take(), (QStringList{QStringLiteral("ready 1.2.3.4"), QStringLiteral("resume")}));

    Settings()->WriteBool(QStringLiteral("Hiding"), false);
    manager().ProxyListReceived(list);
    EXPECT_EQ(view.take(), QStringList{QStringLiteral("ready 1.2.3.4")});
}

TEST_F(EngineHiding, TheShownAddressAndTheTrayHintFollowTheProxyAndWhatChecksSee)
{
    manager().ProxyListReceived(list);
    view.take();
    TProxyRec rec;
    rec.Proxy = QStringLiteral("127.0.0.5:9");
    rec.Country = QStringLiteral("France");
    rec.Anonymity = QStringLiteral("elite");
    emit manager().proxyChanged(rec);
    EXPECT_EQ(view.take(), QStringList{QStringLiteral("hiding 127.0.0.5|You are hiding your real ip 1.2.3.4|"
                                                      "Veilport\n127.0.0.5 (France), elite")});

    // A check that names the address shows it; one that names none keeps the address seen last.
    const QString hiding = QStringLiteral("You are hiding your real ip 1.2.3.4|");
    emit manager().proxyVerified(rec, QStringLiteral("203.0.113.7"));
    emit manager().proxyVerified(rec, QString());
    EXPECT_EQ(view.take(),
              (QStringList{QStringLiteral("seen 203.0.113.7|") + hiding + "Veilport\n203.0.113.7 (France), elite",
                           QStringLiteral("seen 203.0.113.7|") + hiding + "Veilport\n203.0.113.7 (France), elite"}));

    // A failed check takes the hiding sentence back at once; the next check that passes gives it back.
    const QString warning = QStringLiteral("Warning! You are currently not hiding your real IP!");
    const QString failing = QStringLiteral("failing 1.2.3.4|") + warning + "|Veilport";
    emit manager().proxyCheckFailed(rec.Proxy);
    EXPECT_EQ(view.take(), QStringList{failing});
    // Applied again before a check passed, it ends the testing display but keeps the warning.
    emit manager().proxyChanged(rec);
    EXPECT_EQ(view.take().last(), failing);
    emit manager().proxyVerified(rec, QString());
    EXPECT_EQ(view.take(),
              QStringList{QStringLiteral("seen 127.0.0.5|") + hiding + "Veilport\n127.0.0.5 (France), elite"});

    emit manager().stopped();
    EXPECT_EQ(view.take(), QStringList{QStringLiteral("not hiding 1.2.3.4|") + warning + "|Veilport"});
}

TEST_F(EngineWindow, IconsAreLoadedUpToTheFirstGap)
{
    for (int n : {1, 2, 3, 4, 5, 7})
        root.write(QStringLiteral("program/res/images/il_%1.png").arg(n, 2, 10, QChar(u'0')), pngOfSize(16, 18));
    start();
    EXPECT_EQ(engine->Services().Icons().size(), 5);
    EXPECT_EQ(engine->Services().IconSize(), QSize(16, 18));
    EXPECT_FALSE(engine->Services().Icons().front().isNull());

    // Without a readable first icon the list stays empty.
    root.write(QStringLiteral("program/res/images/il_01.png"), "not a png at all");
    engine->Services().LoadIcons();
    EXPECT_TRUE(engine->Services().Icons().isEmpty());
    QFile::remove(root.file(QStringLiteral("program/res/images/il_01.png")));
    engine->Services().LoadIcons();
    EXPECT_TRUE(engine->Services().Icons().isEmpty());
}

TEST_F(EngineWindow, TheShippedIconsLoad)
{
    QString source = qEnvironmentVariable("VEILPORT_SOURCE_DIR");
    if (source.isEmpty())
        source = QStringLiteral(VEILPORT_TEST_SOURCE_DIR);
    for (int n = 1; n <= 70; ++n) {
        QFile file(source + QStringLiteral("/data/res/images/il_%1.png").arg(n, 2, 10, QChar(u'0')));
        if (!file.open(QIODevice::ReadOnly))
            break;
        root.write(QStringLiteral("program/res/images/") + QFileInfo(file).fileName(), file.readAll());
    }
    start();
    EXPECT_GE(engine->Services().Icons().size(), 10);
    EXPECT_EQ(engine->Services().IconSize(), QSize(20, 20));
}

TEST_F(EngineWindow, AutoRunWritesAnAutorunEntryForThisExecutableAndRemovesIt)
{
    start();
    const QString entry = root.file(QStringLiteral("autostart/")) +
                          platform::XdgAutostart::safeFileName(engine->Services().LangText("strAppName")) +
                          QStringLiteral(".desktop");
    ASSERT_TRUE(engine->Services().SetAutoRun(true));
    const QByteArray text = root.read(QStringLiteral("autostart/") + QFileInfo(entry).fileName());
    // Started at log-in without popping the window up.
    EXPECT_TRUE(text.contains("Exec=" + GetExeFileName().toUtf8() + " -autorun\n")) << text.constData();
    ASSERT_TRUE(engine->Services().SetAutoRun(false));
    EXPECT_FALSE(QFileInfo::exists(entry));
}

TEST_F(EngineWindow, AutoRunThatCannotBeWrittenIsReported)
{
    start();
    QWidget mainWindow;
    engine->Services().SetMainWindow(&mainWindow);
    root.write(QStringLiteral("autostart"), "file, not folder");
    messages.queueAnswer(TEngineServices::mrOk);
    EXPECT_FALSE(engine->Services().SetAutoRun(true));
    const auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].msgType, TEngineServices::mtError);
}

// The dialog itself, driven like a user would.
namespace {
template <typename Action> TMessageDialog::Outcome executeAndThen(int buttons, bool showAgainBox, Action action)
{
    QTimer::singleShot(0, [action] {
        auto* dialog = qobject_cast<TMessageDialog*>(QApplication::activeModalWidget());
        if (dialog)
            action(dialog);
    });
    return TMessageDialog::Execute(nullptr, QStringLiteral("Caption"), QStringLiteral("Text"),
                                   TEngineServices::mtConfirmation, buttons, showAgainBox);
}
} // namespace

TEST(MessageDialog, EachButtonSetOffersItsButtonsInOrder)
{
    auto names = [](int buttons) {
        TMessageDialog dialog(nullptr, {}, {}, TEngineServices::mtInformation, buttons, false);
        QStringList list;
        for (QPushButton* button : dialog.findChildren<QPushButton*>())
            list << button->text();
        return list;
    };
    EXPECT_EQ(names(TEngineServices::mbOK), QStringList{QStringLiteral("&OK")});
    EXPECT_EQ(names(TEngineServices::mbOKCancel), (QStringList{QStringLiteral("&OK"), QStringLiteral("Cancel")}));
    EXPECT_EQ(names(TEngineServices::mbYesNo), (QStringList{QStringLiteral("&Yes"), QStringLiteral("&No")}));
}

TEST(MessageDialog, ButtonsGiveTheirResultsAndClosingWithoutOneGivesCancel)
{
    auto click = [](const char* name) {
        return [name](TMessageDialog* dialog) { dialog->findChild<QPushButton*>(QLatin1String(name))->click(); };
    };
    EXPECT_EQ(executeAndThen(TEngineServices::mbYesNo, false, click("MSG_BTN_NO")).result, TEngineServices::mrNo);
    EXPECT_EQ(executeAndThen(TEngineServices::mbYesNo, false, click("MSG_BTN_YES")).result, TEngineServices::mrYes);
    EXPECT_EQ(executeAndThen(TEngineServices::mbOK, false, click("MSG_BTN_OK")).result, TEngineServices::mrOk);
    EXPECT_EQ(executeAndThen(TEngineServices::mbOK, false, [](TMessageDialog* d) { d->close(); }).result,
              TEngineServices::mrCancel);
    EXPECT_EQ(executeAndThen(TEngineServices::mbYesNo, false, [](TMessageDialog* d) { d->reject(); }).result,
              TEngineServices::mrCancel);

    const auto ticked = executeAndThen(TEngineServices::mbOK, true, [](TMessageDialog* dialog) {
        auto* box = dialog->findChild<QCheckBox*>(QStringLiteral("cbShowAgain"));
        box->setChecked(true);
        EXPECT_EQ(box->text(), QStringLiteral("Don't display this message again"));
        dialog->findChild<QPushButton*>(QStringLiteral("MSG_BTN_OK"))->click();
    });
    EXPECT_EQ(ticked.result, TEngineServices::mrOk);
    EXPECT_TRUE(ticked.showAgainTicked);
}
