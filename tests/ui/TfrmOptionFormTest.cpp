#include "ui/TfrmOptionForm.h"

#include "BrowserDialogFixture.h"
#include "support/FakeFirefox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTabWidget>

#include <csignal>

using testsupport::FakeFirefox;

namespace {

const QByteArray kConstWithUpdate = "[const]\nApp.ConfigPath=Veilport\nUpdate.Enable=1\n";
const QByteArray kConstWithoutUpdate = "[const]\nApp.ConfigPath=Veilport\n";

// What the dialog asked of the program, and what the settings held at that moment.
struct ServiceLog
{
    QList<bool> autoRunCalls;
    QString autoRunStoredDuringCall;
    QString ffStoredDuringCall;
    QList<bool> restarts;
    int locateShown = 0;
};

class OptionFormTest : public BrowserDialogFixture
{
protected:
    explicit OptionFormTest(const QByteArray& constDat = kConstWithUpdate) : BrowserDialogFixture(constDat) {}

    TOptionFormServices services()
    {
        TOptionFormServices s;
        s.SetAutoRun = [this](bool enable) {
            log.autoRunCalls.append(enable);
            log.autoRunStoredDuringCall = stored("AutoRun");
            log.ffStoredDuringCall = stored("FF");
        };
        s.PostAllUsersRestart = [this](bool allUsers) { log.restarts.append(allUsers); };
        s.ShowLocateFirefox = [this](QWidget*) { ++log.locateShown; };
        s.Routines = &routines;
        return s;
    }

    ServiceLog log;
};

class OptionFormWithoutUpdateTest : public OptionFormTest
{
protected:
    OptionFormWithoutUpdateTest() : OptionFormTest(kConstWithoutUpdate) {}
};

} // namespace

TEST_F(OptionFormTest, OpensOnTheGeneralPageWithTheStoredChoicesAndInternetExplorerLocked)
{
    Settings()->WriteBool(QStringLiteral("AutoRun"), true);
    Settings()->WriteBool(QStringLiteral("FF"), false);
    Settings()->WriteString(QStringLiteral("OPERA"), QStringLiteral("yes")); // not a number: the default
    TfrmOptionForm form(*Settings(), messages, nullptr, services());

    EXPECT_EQ(form.pcSetting->currentWidget(), form.tsGeneral);
    EXPECT_TRUE(form.cbAutoRun->isChecked());
    EXPECT_TRUE(form.cbAutoUpdate->isChecked());
    EXPECT_FALSE(form.cbAutoUpdate->isHidden());
    EXPECT_TRUE(form.cbIE->isChecked());
    EXPECT_FALSE(form.cbIE->isEnabled());
    EXPECT_FALSE(form.cbFF->isChecked());
    EXPECT_TRUE(form.cbOpera->isChecked());
    EXPECT_FALSE(form.cbBlockWhenNoProxy->isChecked());

    // The mode list is not preset from the mode in use.
    EXPECT_EQ(form.cbAllUsers->currentIndex(), -1);
    EXPECT_EQ(form.cbAllUsers->placeholderText(), QStringLiteral("All Users"));
    EXPECT_EQ(form.cbAllUsers->count(), 3);
}

TEST_F(OptionFormTest, CancelWritesNothingAndOkWritesEverythingLogOnEntryFirst)
{
    {
        TfrmOptionForm form(*Settings(), messages, nullptr, services());
        form.open();
        form.cbFF->setChecked(false);
        form.cbAutoRun->setChecked(true);
        form.btnCancel->click();
        EXPECT_EQ(form.result(), QDialog::Rejected);
    }
    EXPECT_EQ(stored("FF"), QStringLiteral("-"));
    EXPECT_EQ(stored("AutoRun"), QStringLiteral("-"));
    EXPECT_TRUE(log.autoRunCalls.isEmpty());

    TfrmOptionForm form(*Settings(), messages, nullptr, services());
    form.open();
    form.cbFF->setChecked(false);
    form.cbAutoRun->setChecked(true);
    form.cbBlockWhenNoProxy->setChecked(true);
    form.btnOk->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(log.autoRunCalls, QList<bool>{true});
    // The log-on entry follows the stored AutoRun, before the browser settings are written.
    EXPECT_EQ(log.autoRunStoredDuringCall, QStringLiteral("1"));
    EXPECT_EQ(log.ffStoredDuringCall, QStringLiteral("-"));
    EXPECT_EQ(stored("FF"), QStringLiteral("0"));
    EXPECT_EQ(stored("IE"), QStringLiteral("1"));
    EXPECT_EQ(stored("OPERA"), QStringLiteral("1"));
    EXPECT_EQ(stored("AutoCheckUpdate"), QStringLiteral("1"));
    EXPECT_EQ(stored("BlockWhenNoProxy"), QStringLiteral("1"));
}

TEST_F(OptionFormWithoutUpdateTest, HidesTheUpdateBoxButOkStillWritesItsLoadedValue)
{
    Settings()->WriteBool(QStringLiteral("AutoCheckUpdate"), false);
    TfrmOptionForm form(*Settings(), messages, nullptr, services());
    EXPECT_TRUE(form.cbAutoUpdate->isHidden());
    form.open();
    form.btnOk->click();
    EXPECT_EQ(stored("AutoCheckUpdate"), QStringLiteral("0"));
    EXPECT_EQ(log.autoRunCalls, QList<bool>{false}); // written on every OK, changed or not
}

TEST_F(OptionFormTest, ClearingTheShowAgainFlagsActsAtOnceEvenWhenCancelled)
{
    Settings()->WriteShowAgain(31, false);
    Settings()->WriteShowAgainResult(31, 2);
    Settings()->WriteBool(QStringLiteral("FF"), false);
    TfrmOptionForm form(*Settings(), messages, nullptr, services());
    form.open();
    form.btnClearShowAgainFlag->click();
    form.btnCancel->click();

    EXPECT_TRUE(Settings()->ReadShowAgain(31));
    EXPECT_EQ(Settings()->ReadShowAgainResult(31), 1);
    EXPECT_EQ(stored("FF"), QStringLiteral("0"));
    EXPECT_TRUE(messages.messages.isEmpty());
}

TEST_F(OptionFormTest, ModeSwitchAsksAndOnlyOnOkClosesUnsavedAndPostsTheRestart)
{
    struct Case
    {
        int index;
        QString key;
        bool allUsers;
    };
    const QList<Case> cases{{0, QStringLiteral("MSGBOX_SetAllUsers"), true},
                            {1, QStringLiteral("MSGBOX_SetCurrentUser"), false},
                            {2, QStringLiteral("MSGBOX_SetCurrentUser"), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        log = ServiceLog();
        messages.messages.clear();
        TfrmOptionForm form(*Settings(), messages, nullptr, services());
        form.open();
        form.cbFF->setChecked(false);

        messages.queuedAnswers = {TEngineServices::mrCancel};
        emit form.cbAllUsers->activated(c.index);
        ASSERT_EQ(messages.messages.size(), 1);
        EXPECT_EQ(messages.messages[0].key, c.key);
        EXPECT_EQ(messages.messages[0].buttons, TEngineServices::mbOKCancel);
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(log.restarts.isEmpty());

        messages.queuedAnswers = {TEngineServices::mrOk};
        emit form.cbAllUsers->activated(c.index);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.result(), QDialog::Rejected);
        EXPECT_EQ(log.restarts, QList<bool>{c.allUsers});
        EXPECT_TRUE(log.autoRunCalls.isEmpty());
        EXPECT_EQ(stored("FF"), QStringLiteral("-"));
    }
}

TEST_F(OptionFormTest, ReinstallStartsFirefoxWithTheExtensionOrAsksWhereFirefoxIs)
{
    {
        TfrmOptionForm form(*Settings(), messages, nullptr, services());
        form.btnReinstallFF->click();
        EXPECT_EQ(log.locateShown, 1);
    }

    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    Settings()->WriteString(QStringLiteral("FireFoxPath"), FakeFirefox::executable());
    TfrmOptionForm form(*Settings(), messages, nullptr, services());
    form.btnReinstallFF->click();
    EXPECT_EQ(log.locateShown, 1);
    const auto calls = fake.waitForInvocations(1);
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].args, TBrowserRoutines::FirefoxInstallArgs());
    ::kill(static_cast<pid_t>(calls[0].pid), SIGKILL);
    // One notice: where Firefox stands, how a Chromium user loads the unpacked companion, and that a browser
    // without one leaves WebRTC open.
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_TRUE(messages.messages[0].key.contains(QStringLiteral("Confirm the installation in Firefox")));
    EXPECT_TRUE(messages.messages[0].key.contains(TBrowserRoutines::ChromiumCompanionFolder()));
    EXPECT_TRUE(messages.messages[0].key.contains(QStringLiteral("keeps WebRTC from showing web pages")));
}
