#include "MainWindowFixture.h"

#include "config/SettingsFolder.h"
#include "support/ScriptedHttpServer.h"
#include "ui/UpdateController.h"
#include "util/SPTools.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

#include <memory>

using testsupport::ScopedEnv;

namespace {

// The engine alone, started as the program starts it: it chooses the settings folder itself.
class EngineWindow : public MainWindowFixture
{
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        root.write(QStringLiteral("program/const.dat"), "[const]\nApp.ConfigPath=Veilport\nApp.ID=77\n");
    }

    // A common folder that cannot be created: its parent is a regular file (fails for root too).
    void makeCommonFolderUnusable()
    {
        privateHome.setVariable(
            "VEILPORT_COMMON_DATA_DIR",
            (root.write(QStringLiteral("blocked"), "file, not folder") + QStringLiteral("/common")).toUtf8());
    }

    QString userFolder() const { return root.file(QStringLiteral("config/Veilport/")); }

    void startEngine()
    {
        stop();
        InitSettings(programFolder());
        browsers = std::make_unique<DesktopBrowsers>(*Settings());
        engine = std::make_unique<Engine>(
            *Settings(), *browsers, std::make_unique<platform::XdgAutostart>(root.file(QStringLiteral("autostart"))));
    }

    QByteArray userFlag() const { return root.read(QStringLiteral("config/Veilport/UserFlag.ini")); }
};

// Message-box tests need a main window: its caption titles the box and its absence silences it.
class EngineMessages : public EngineWindow
{
protected:
    void SetUp() override
    {
        EngineWindow::SetUp();
        startEngine();
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

} // namespace

TEST_F(EngineWindow, AWritableCommonFolderIsSharedWithoutAWordUntilItLosesItsAccess)
{
    startEngine();
    ASSERT_TRUE(engine->StartSucceeded());
    EXPECT_TRUE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(userFlag().contains("AllUsers=1"));
    EXPECT_EQ(Settings()->SettingsFolder(), Settings()->CommonFolder());
    EXPECT_TRUE(QFileInfo::exists(root.file(QStringLiteral("common/Veilport/Setting.dat"))));
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_NE(engine->ProxyManager(), nullptr);
    // Language files address the hidden window by this name.
    EXPECT_EQ(engine->Window().objectName(), QStringLiteral("frmEngineWnd"));

    // The stored choice loses its access: the next start falls back to the user's folder with the notice.
    makeCommonFolderUnusable();
    messages.queueAnswer(TEngineServices::mrOk);
    startEngine();
    ASSERT_TRUE(engine->StartSucceeded());
    EXPECT_FALSE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(userFlag().contains("AllUsers=0"));
    EXPECT_EQ(messages.takeRecords().size(), 1);
}

TEST_F(EngineWindow, FirstStartWithoutCommonAccessTellsOnceAndKeepsSettingsPerUser)
{
    makeCommonFolderUnusable();
    QFile english(QStringLiteral(VEILPORT_TEST_SOURCE_DIR "/data/langs/English.lan"));
    ASSERT_TRUE(english.open(QIODevice::ReadOnly));
    root.write(QStringLiteral("program/langs/English.lan"), english.readAll());
    messages.queueAnswer(TEngineServices::mrOk);
    startEngine();
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

    // The next start remembers the choice and says nothing.
    startEngine();
    EXPECT_FALSE(engine->Folder().AllUsersMode());
    EXPECT_TRUE(messages.takeRecords().isEmpty());
}

TEST_F(EngineWindow, AnUnwritableUserFolderEndsTheStartWithAClearMessage)
{
    // Neither folder can be created: the per-user choice cannot even be stored.
    const QString blocker = root.write(QStringLiteral("config-file"), "file, not folder");
    ScopedEnv config("XDG_CONFIG_HOME", (blocker + QStringLiteral("/config")).toUtf8());
    makeCommonFolderUnusable();
    messages.queueAnswer(TEngineServices::mrOk); // the notice
    messages.queueAnswer(TEngineServices::mrOk); // the error
    startEngine();
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
    // An error without language text shows its key.
    messages.queueAnswer(TEngineServices::mrOk);
    engine->Services().ShowErrorMessage(1011, QString());
    const auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[0].caption, QStringLiteral("Veilport  1.0.0.0"));
    EXPECT_EQ(shown[0].text, QStringLiteral("3 of 9 ()"));
    EXPECT_EQ(shown[0].msgType, TEngineServices::mtConfirmation);
    EXPECT_EQ(shown[0].buttons, TEngineServices::mbYesNo);
    EXPECT_FALSE(shown[0].hasShowAgainBox);
    EXPECT_EQ(shown[1].caption, QStringLiteral("Veilport  1.0.0.0"));
    EXPECT_EQ(shown[1].text, QStringLiteral("ERRORMSG_1011"));
    EXPECT_EQ(shown[1].msgType, TEngineServices::mtError);
    EXPECT_EQ(shown[1].buttons, TEngineServices::mbOK);
}

TEST_F(EngineMessages, ATickedShowAgainBoxSilencesTheMessageWithItsAnswerUntilTheFlagsAreCleared)
{
    messages.queueAnswer(TEngineServices::mrCancel, true);
    EXPECT_EQ(box(QStringLiteral("Minimized to the tray"), 31), TEngineServices::mrCancel);
    auto shown = messages.takeRecords();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].hasShowAgainBox);
    EXPECT_TRUE(shown[0].showAgainTicked);

    // Answered from the settings without showing anything, with the button chosen unless the caller fixes one;
    // other numbers are unaffected.
    EXPECT_EQ(box(QStringLiteral("Minimized to the tray"), 31), TEngineServices::mrCancel);
    EXPECT_EQ(box(QStringLiteral("Minimized to the tray"), 31, TEngineServices::mrYes), TEngineServices::mrYes);
    EXPECT_TRUE(messages.takeRecords().isEmpty());
    EXPECT_FALSE(Settings()->ReadShowAgain(31));
    EXPECT_TRUE(Settings()->ReadShowAgain(30));

    Settings()->ClearShowAgainFlags();
    messages.queueAnswer(TEngineServices::mrOk);
    box(QStringLiteral("Minimized to the tray"), 31);
    EXPECT_EQ(messages.takeRecords().size(), 1);
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
    startEngine();
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

TEST_F(EngineWindow, TheShippedIconsLoadUpToTheFirstGap)
{
    QString source = qEnvironmentVariable("VEILPORT_SOURCE_DIR");
    if (source.isEmpty())
        source = QStringLiteral(VEILPORT_TEST_SOURCE_DIR);
    const auto icon = [](int n) { return QStringLiteral("res/images/il_%1.png").arg(n, 2, 10, QChar(u'0')); };
    for (int n = 1; n <= 70; ++n) {
        QFile file(source + QStringLiteral("/data/") + icon(n));
        if (!file.open(QIODevice::ReadOnly))
            break;
        root.write(QStringLiteral("program/") + icon(n), file.readAll());
    }
    startEngine();
    EXPECT_GE(engine->Services().Icons().size(), 10);
    EXPECT_EQ(engine->Services().IconSize(), QSize(20, 20));
    EXPECT_FALSE(engine->Services().Icons().front().isNull());

    // A missing icon ends the list there.
    QFile::remove(root.file(QStringLiteral("program/") + icon(6)));
    engine->Services().LoadIcons();
    EXPECT_EQ(engine->Services().Icons().size(), 5);

    // Without a readable first icon the list stays empty.
    root.write(QStringLiteral("program/") + icon(1), "not a png at all");
    engine->Services().LoadIcons();
    EXPECT_TRUE(engine->Services().Icons().isEmpty());
    QFile::remove(root.file(QStringLiteral("program/") + icon(1)));
    engine->Services().LoadIcons();
    EXPECT_TRUE(engine->Services().Icons().isEmpty());
}

TEST_F(EngineWindow, AutoRunWritesAnAutorunEntryForThisExecutableRemovesItAndReportsAFailure)
{
    startEngine();
    const QString entry = root.file(QStringLiteral("autostart/")) +
                          platform::XdgAutostart::safeFileName(engine->Services().LangText("strAppName")) +
                          QStringLiteral(".desktop");
    ASSERT_TRUE(engine->Services().SetAutoRun(true));
    const QByteArray text = root.read(QStringLiteral("autostart/") + QFileInfo(entry).fileName());
    // Started at log-in without popping the window up.
    EXPECT_TRUE(text.contains("Exec=" + GetExeFileName().toUtf8() + " -autorun\n")) << text.constData();
    ASSERT_TRUE(engine->Services().SetAutoRun(false));
    EXPECT_FALSE(QFileInfo::exists(entry));

    // An entry that cannot be written is reported.
    QWidget mainWindow;
    engine->Services().SetMainWindow(&mainWindow);
    ASSERT_TRUE(QDir(root.file(QStringLiteral("autostart"))).removeRecursively());
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

TEST(MessageDialog, EveryButtonOfEachSetGivesItsResultAndClosingWithoutOneGivesCancel)
{
    auto click = [](const char* name) {
        return [name](TMessageDialog* dialog) {
            if (auto* button = dialog->findChild<QPushButton*>(QLatin1String(name))) {
                button->click();
                return;
            }
            ADD_FAILURE() << "the dialog offers no " << name;
            dialog->reject();
        };
    };
    EXPECT_EQ(executeAndThen(TEngineServices::mbYesNo, false, click("MSG_BTN_NO")).result, TEngineServices::mrNo);
    EXPECT_EQ(executeAndThen(TEngineServices::mbYesNo, false, click("MSG_BTN_YES")).result, TEngineServices::mrYes);
    EXPECT_EQ(executeAndThen(TEngineServices::mbOK, false, click("MSG_BTN_OK")).result, TEngineServices::mrOk);
    EXPECT_EQ(executeAndThen(TEngineServices::mbOKCancel, false, click("MSG_BTN_OK")).result, TEngineServices::mrOk);
    EXPECT_EQ(executeAndThen(TEngineServices::mbOKCancel, false, click("MSG_BTN_CANCEL")).result,
              TEngineServices::mrCancel);
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
