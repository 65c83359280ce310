#include "ui/TfrmLocateFirefox.h"

#include "BrowserDialogFixture.h"
#include "support/FakeFirefox.h"

#include <QPushButton>

#include <csignal>

using testsupport::FakeFirefox;

namespace {

class LocateFirefoxTest : public BrowserDialogFixture
{
protected:
    LocateFirefoxTest() { form.open(); }

    QString storedPath() const { return Settings()->ReadString(QStringLiteral("FireFoxPath"), QString()); }

    TfrmLocateFirefox form{*Settings(), messages, routines};
};

} // namespace

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
    form.btnP5Cancel->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
}
