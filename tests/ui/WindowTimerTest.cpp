#include "ui/WindowTimer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

// Lets the countdown run until at least ms have passed of it (polling, with a deadline).
void LetCountdownRun(const WindowTimer& timer, int ms)
{
    const int start = timer.RemainingTime();
    QDeadlineTimer deadline(5000);
    while (timer.RemainingTime() > start - ms && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

TEST(WindowTimer, SettingWhatItHasKeepsTheCountdownAndAChangeRestartsIt)
{
    WindowTimer timer;
    timer.SetInterval(600000);
    timer.SetEnabled(true);
    ASSERT_TRUE(timer.Counting());
    LetCountdownRun(timer, 120);
    timer.SetInterval(600000);
    timer.SetEnabled(true);
    EXPECT_LE(timer.RemainingTime(), 600000 - 100);

    timer.SetInterval(300000);
    EXPECT_GT(timer.RemainingTime(), 300000 - 100);
    EXPECT_EQ(timer.Interval(), 300000);

    // Enabling again after a stop restarts it too.
    LetCountdownRun(timer, 120);
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Counting());
    timer.SetEnabled(true);
    EXPECT_GT(timer.RemainingTime(), 300000 - 100);
}

TEST(WindowTimer, ZeroIntervalNeverTicksUntilAnIntervalIsSet)
{
    WindowTimer timer;
    QSignalSpy ticks(&timer, &WindowTimer::Timer);
    timer.SetInterval(0);
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_FALSE(timer.Counting());

    timer.SetInterval(20);
    EXPECT_TRUE(timer.Counting());
    EXPECT_TRUE(ticks.wait(2000));

    timer.SetEnabled(false);
    ticks.clear();
    EXPECT_FALSE(ticks.wait(100));
}
