#include "util/MainThreadQueue.h"

#include "support/Wait.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using testsupport::waitUntil;

namespace {

// Plain data written by one thread and read by the other: only the hand-over orders those accesses.
struct Payload
{
    int number = 0;
    std::vector<int> values;
};

TEST(MainThreadQueue, WorkFromSeveralThreadsRunsOnTheMainThreadInEachThreadsOrderWithItsData)
{
    constexpr int kThreads = 3;
    constexpr int kEach = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic_int wrongThread{0};
    std::atomic_int sent{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                auto payload = std::make_shared<Payload>();
                payload->number = i;
                payload->values.assign(8, i);
                const bool posted = PostToMainThread([&, t, payload] {
                    if (QThread::currentThread() != qApp->thread())
                        ++wrongThread;
                    if (payload->values == std::vector<int>(8, payload->number))
                        seen[size_t(t)].push_back(payload->number);
                });
                sent += posted ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(sent.load(), kThreads * kEach);
    ASSERT_TRUE(waitUntil([&] {
        size_t total = 0;
        for (const auto& each : seen)
            total += each.size();
        return total == size_t(kThreads * kEach);
    }));
    EXPECT_EQ(wrongThread.load(), 0);
    for (const auto& each : seen) {
        for (int i = 0; i < kEach; ++i)
            ASSERT_EQ(each[size_t(i)], i);
    }
}

TEST(MainThreadQueue, WorkPostedByWorkRunsAfterWhatWasQueuedBefore)
{
    std::vector<int> order;
    PostToMainThread([&] {
        order.push_back(1);
        PostToMainThread([&] { order.push_back(3); });
    });
    PostToMainThread([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty()); // posting on the main thread still waits for the event loop
    ASSERT_TRUE(waitUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(MainThreadQueue, AWaitingThreadSeesWhatTheWorkWrote)
{
    Payload payload;
    std::atomic_bool finished{false};
    bool ran = false;
    QThread* ranOn = nullptr;
    int readBack = -1;
    std::thread worker([&] {
        ran = RunOnMainThreadAndWait([&] {
            ranOn = QThread::currentThread();
            payload.number = 42;
            payload.values = {4, 2};
        });
        // Read without any lock of its own, after the wait.
        readBack = payload.number + int(payload.values.size());
        finished = true;
    });
    ASSERT_TRUE(waitUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(ranOn, qApp->thread());
    EXPECT_EQ(readBack, 44);
}

TEST(MainThreadQueue, WaitingOnTheMainThreadRunsTheWorkAtOnce)
{
    int runs = 0;
    EXPECT_TRUE(RunOnMainThreadAndWait([&] { ++runs; }));
    EXPECT_EQ(runs, 1);
}

TEST(MainThreadQueue, AWaitingThreadIsHeldUntilTheEventLoopRuns)
{
    std::atomic_bool returned{false};
    std::thread worker([&] {
        RunOnMainThreadAndWait([] {});
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    worker.join();
}

} // namespace
