#include "support/VirtualScheduler.h"
#include "util/SerialQueue.h"

#include <QCoroTask>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(VirtualScheduler, RunsDueWorkInTimeOrderAndHonoursCancel)
{
    VirtualScheduler scheduler;
    std::vector<int> order;
    scheduler.schedule(300ms, [&] { order.push_back(3); });
    scheduler.schedule(100ms, [&] { order.push_back(1); });
    const TimerId cancelled = scheduler.schedule(200ms, [&] { order.push_back(2); });
    scheduler.schedule(100ms, [&] { order.push_back(11); }); // same time: scheduling order
    scheduler.cancel(cancelled);

    scheduler.advance(99ms);
    EXPECT_TRUE(order.empty());
    scheduler.advance(250ms);
    EXPECT_EQ(order, (std::vector<int>{1, 11, 3}));
    EXPECT_EQ(scheduler.elapsed(), 349ms);
}

TEST(VirtualScheduler, WorkScheduledFromWorkRunsWhenDue)
{
    VirtualScheduler scheduler;
    int ticks = 0;
    MonotonicTime seen{};
    const TimerId repeating = scheduler.scheduleRepeating(140ms, [&] { ++ticks; });
    scheduler.schedule(50ms, [&] { scheduler.schedule(50ms, [&] { seen = scheduler.now(); }); });
    scheduler.advance(1s);
    EXPECT_EQ(ticks, 7);
    EXPECT_EQ(seen - MonotonicTime{}, 100ms);
    scheduler.cancel(repeating);
    scheduler.advance(1s);
    EXPECT_EQ(ticks, 7);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    EXPECT_DOUBLE_EQ(scheduler.currentDate().secondsSinceReferenceDate, 757382400.0 + 2.0);
}

TEST(VirtualScheduler, ScheduledWorkHandleCancelsWhenDropped)
{
    VirtualScheduler scheduler;
    bool fired = false;
    {
        ScheduledWork work(&scheduler, scheduler.schedule(10ms, [&] { fired = true; }));
        EXPECT_TRUE(work.isActive());
    }
    scheduler.advance(1s);
    EXPECT_FALSE(fired);
}

namespace {
QCoro::Task<int> sleepThenAnswer(Scheduler& scheduler, std::vector<int>& steps)
{
    steps.push_back(1);
    co_await sleepFor(scheduler, seconds(0.1));
    steps.push_back(2);
    co_return 42;
}
} // namespace

TEST(VirtualScheduler, CoroutineSleepResumesOnVirtualTime)
{
    VirtualScheduler scheduler;
    std::vector<int> steps;
    int answer = 0;
    auto task = sleepThenAnswer(scheduler, steps).then([&](int value) { answer = value; });
    EXPECT_EQ(steps, std::vector<int>{1});
    scheduler.advance(99ms);
    EXPECT_EQ(steps, std::vector<int>{1});
    scheduler.advance(1ms);
    EXPECT_EQ(steps, (std::vector<int>{1, 2}));
    EXPECT_EQ(answer, 42);
}

TEST(SerialQueue, RunsWorkInOrderOnOneLabelledThread)
{
    SerialQueue queue(QStringLiteral("org.quorbell.test.queue"));
    EXPECT_EQ(queue.label(), QStringLiteral("org.quorbell.test.queue"));
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 100; ++i) {
        queue.async([&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
    }
    bool onQueue = false;
    queue.sync([&] { onQueue = queue.isCurrent(); });
    EXPECT_TRUE(onQueue);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
    for (auto id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    // sync from the queue itself runs inline instead of deadlocking
    int nested = 0;
    queue.sync([&] { queue.sync([&] { nested = 1; }); });
    EXPECT_EQ(nested, 1);
}

TEST(SerialQueue, FinishesQueuedWorkOnStopAndRunsNothingAfter)
{
    std::atomic<int> done{0};
    {
        SerialQueue queue(QStringLiteral("org.quorbell.test.drain"));
        for (int i = 0; i < 50; ++i)
            queue.async([&] { ++done; });
    }
    EXPECT_EQ(done.load(), 50) << "destruction drains";

    SerialQueue queue(QStringLiteral("org.quorbell.test.stop"));
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i)
        queue.async([&] { ++ran; });
    queue.stop();
    EXPECT_EQ(ran.load(), 50) << "stop finishes what was queued";
    queue.async([&] { ++ran; });
    queue.sync([&] { ++ran; });
    queue.stop();
    EXPECT_EQ(ran.load(), 50) << "a stopped queue runs nothing, and sync does not wait for it";
}
