#include "platform/ProcessRunner.h"

#include "support/FakeFirefox.h"

#include <QElapsedTimer>

#include <csignal>

#include <gtest/gtest.h>

using platform::LocalProcessRunner;
using platform::ProcessRunner;
using testsupport::FakeFirefox;

TEST(ProcessRunner, WaitsForAProgramThatEndsAndPassesArgumentsUnsplit)
{
    FakeFirefox fake;
    LocalProcessRunner runner;
    const QStringList args{QStringLiteral("a b"), QStringLiteral("\"quoted\""), QStringLiteral("--flag"),
                           QStringLiteral("$(touch x); y")};
    EXPECT_EQ(runner.runAndWait(FakeFirefox::executable(), args, 10000), ProcessRunner::WaitResult::Finished);
    const auto calls = fake.invocations();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].args, args);
}

TEST(ProcessRunner, EndsAProgramThatOutlivesTheBound)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    LocalProcessRunner runner;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(runner.runAndWait(FakeFirefox::executable(), {}, 300), ProcessRunner::WaitResult::TimedOut);
    // The bound plus the grace before the kill; far from "never".
    EXPECT_LT(timer.elapsed(), 5000);
    const auto calls = fake.invocations();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_FALSE(testsupport::processIsRunning(calls[0].pid));
}

TEST(ProcessRunner, ReportsAProgramThatCannotStart)
{
    LocalProcessRunner runner;
    EXPECT_EQ(runner.runAndWait(QStringLiteral("/nonexistent/firefox"), {}, 1000),
              ProcessRunner::WaitResult::FailedToStart);
    EXPECT_FALSE(runner.startDetached(QStringLiteral("/nonexistent/firefox"), {}));
}

TEST(ProcessRunner, StartsADetachedProgramWithoutWaitingForIt)
{
    FakeFirefox fake(FakeFirefox::Mode::NeverEnd);
    LocalProcessRunner runner;
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(runner.startDetached(FakeFirefox::executable(), {QStringLiteral("x")}));
    EXPECT_LT(timer.elapsed(), 3000);
    const auto calls = fake.waitForInvocations(1);
    ASSERT_EQ(calls.size(), 1);
    EXPECT_TRUE(testsupport::processIsRunning(calls[0].pid));
    ::kill(static_cast<pid_t>(calls[0].pid), SIGKILL);
}
