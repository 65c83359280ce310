#include "ui/TfrmLocateFirefox.h"

#include "config/TSettings.h"
#include "platform/ProcessRunner.h"
#include "browsers/TBrowserRoutines.h"
#include "support/BrowserTestHome.h"
#include "support/RecordingEngineServices.h"
#include "support/FakeFirefox.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>

#include <csignal>

#include <gtest/gtest.h>

using testsupport::BrowserTestHome;
using testsupport::FakeFirefox;
using testsupport::RecordingEngineServices;

namespace {

class LocateFirefoxTest : public ::testing::Test
{
protected:
    LocateFirefoxTest()
        : path("PATH", QFile::encodeName(home.path(QStringLiteral("bin")))), routines([this] {
              TBrowserRoutines::Platform p;
              p.settings = Settings();
              p.processes = &processes;
              return p;
          }()),
          form(*Settings(), messages, routines)
    {
        form.open();
    }

    QString storedPath() const { return Settings()->ReadString(QStringLiteral("FireFoxPath"), QString()); }

    BrowserTestHome home;
    testsupport::ScopedEnv path;
    RecordingEngineServices messages;
    platform::LocalProcessRunner processes;
    TBrowserRoutines routines;
    TfrmLocateFirefox form;
};

} // namespace

TEST_F(LocateFirefoxTest, ShowsItsQuestionAndTwoButtons)
{
    EXPECT_EQ(form.lbText->text(),
              QStringLiteral("The Firefox extension is not installed. Please specify the path of the Firefox!"));
    EXPECT_TRUE(form.lbText->wordWrap());
    EXPECT_EQ(form.btnP5Brower->text(), QStringLiteral("&Browse"));
    EXPECT_EQ(form.btnP5Cancel->text(), QStringLiteral("&Cancel"));
    EXPECT_EQ(form.size(), QSize(506, 162));
    form.btnP5Cancel->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
}

TEST_F(LocateFirefoxTest, AChosenFirefoxIsStoredGetsTheExtensionAndClosesTheDialog)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    form.setFileChooser([] { return FakeFirefox::executable(); });
    form.btnP5Brower->click();

    EXPECT_EQ(storedPath(), FakeFirefox::executable());
    ASSERT_EQ(messages.messages.size(), 1);
    // Firefox was only opened with the package: nothing claims an installation nobody saw.
    EXPECT_TRUE(messages.messages[0].key.startsWith(QStringLiteral("Firefox was opened with the Veilport companion")));
    EXPECT_TRUE(messages.messages[0].key.contains(QStringLiteral("No Firefox companion is connected yet")));
    EXPECT_EQ(messages.messages[0].msgType, TEngineServices::mtInformation);
    EXPECT_EQ(messages.messages[0].buttons, TEngineServices::mbOK);
    EXPECT_EQ(form.result(), QDialog::Accepted);
    const auto calls = fake.waitForInvocations(1);
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].args, TBrowserRoutines::FirefoxInstallArgs());
    ::kill(static_cast<pid_t>(calls[0].pid), SIGKILL);
}

TEST_F(LocateFirefoxTest, AFileThatDoesNotStartIsReportedAndTheDialogStays)
{
    const QString notAProgram = home.dir().write(QStringLiteral("readme.txt"), "not firefox");
    form.setFileChooser([&] { return notAProgram; });
    form.btnP5Brower->click();

    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].key, QStringLiteral("Your specification is not correct!"));
    EXPECT_EQ(messages.messages[0].msgType, TEngineServices::mtError);
    EXPECT_TRUE(form.isVisible());
}

TEST_F(LocateFirefoxTest, ACancelledOrVanishedChoiceChangesNothing)
{
    form.setFileChooser([] { return QString(); });
    form.btnP5Brower->click();
    form.setFileChooser([this] { return home.path(QStringLiteral("gone/firefox")); });
    form.btnP5Brower->click();
    EXPECT_TRUE(messages.messages.isEmpty());
    EXPECT_TRUE(storedPath().isEmpty());
    EXPECT_TRUE(form.isVisible());
}
