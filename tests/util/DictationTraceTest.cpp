#include "util/DictationTrace.h"
#include "support/VirtualScheduler.h"

#include <QByteArrayList>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Step = DictationTrace::Step;

namespace {

class DictationTraceTest : public ::testing::Test {
protected:
    VirtualScheduler scheduler;
    QByteArrayList lines;
    DictationTrace trace{scheduler, [this](const QByteArray& line) { lines.append(line); }};
};

} // namespace

TEST_F(DictationTraceTest, WritesTheStepsInOrderSinceTheStopKeyAndLeavesOutWhatDidNotHappen)
{
    trace.dictationStarted();
    scheduler.advance(1s);
    trace.stopKeyPressed();
    scheduler.advance(100ms);
    trace.mark(Step::tailEnd);
    scheduler.advance(12500us);
    trace.mark(Step::engineFinal);
    // No lexicon recall and no paste; the tokens come in out of the steps' order of declaration.
    scheduler.advance(20ms);
    trace.markModelToken();
    scheduler.advance(5ms);
    trace.markModelToken();
    scheduler.advance(5ms);
    trace.markModelToken();
    trace.dictationEnded();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], "QB-TRACE tail_end_ms=100.0 engine_final_ms=112.5 first_token_ms=132.5 "
                        "last_token_ms=142.5 main_thread_max_stall_ms=0.0");

    // A dictation without a stop key reached (cancelled, failed) writes nothing, also when it ends.
    trace.dictationStarted();
    trace.stopKeyPressed();
    trace.dictationAbandoned();
    trace.mark(Step::tailEnd);
    trace.dictationEnded();
    scheduler.advance(5s);
    EXPECT_EQ(lines.size(), 1);
}

TEST_F(DictationTraceTest, AfterAPasteTheLineWaitsForTheClipboardRequestOrItsLimit)
{
    trace.dictationStarted();
    trace.stopKeyPressed();
    scheduler.advance(150ms);
    trace.mark(Step::pasteSent);
    trace.dictationEnded();
    scheduler.advance(30ms);
    EXPECT_TRUE(lines.isEmpty());
    trace.mark(Step::clipboardRequested);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0],
              "QB-TRACE paste_sent_ms=150.0 clipboard_requested_ms=180.0 main_thread_max_stall_ms=0.0");

    // A target that never asks: the line goes out once the wait after the paste is over.
    trace.dictationStarted();
    trace.stopKeyPressed();
    trace.mark(Step::pasteSent);
    scheduler.advance(50ms);
    trace.dictationEnded();
    scheduler.advance(DictationTrace::kClipboardRequestWait - 50ms - 1ms);
    EXPECT_EQ(lines.size(), 1);
    scheduler.advance(1ms);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[1], "QB-TRACE paste_sent_ms=0.0 main_thread_max_stall_ms=0.0");

    // A new dictation writes a line still waiting, once.
    trace.dictationStarted();
    trace.stopKeyPressed();
    trace.mark(Step::pasteSent);
    trace.dictationEnded();
    trace.dictationStarted();
    EXPECT_EQ(lines.size(), 3);
    trace.dictationAbandoned();
    scheduler.advance(5s);
    EXPECT_EQ(lines.size(), 3);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST_F(DictationTraceTest, StallWatchRecordsTheLatestTickAndRunsOnlyDuringADictation)
{
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    trace.dictationStarted();
    EXPECT_TRUE(trace.isWatchingStalls());
    scheduler.advance(20ms);
    scheduler.stall(30ms); // the tick due at 24 ms fires at 50 ms
    scheduler.advance(40ms);
    scheduler.stall(9ms);
    scheduler.advance(20ms);
    trace.stopKeyPressed();
    trace.dictationEnded();
    EXPECT_FALSE(trace.isWatchingStalls());
    EXPECT_EQ(scheduler.pendingCount(), 0u) << "no timer outside a dictation";
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], "QB-TRACE main_thread_max_stall_ms=26.0");

    // Busy right up to the end: no tick follows to show it, the end does. Each dictation starts afresh.
    trace.dictationStarted();
    scheduler.advance(8ms);
    trace.stopKeyPressed();
    scheduler.stall(20ms);
    trace.dictationEnded();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[1], "QB-TRACE main_thread_max_stall_ms=16.0");

    trace.dictationStarted();
    scheduler.advance(8ms);
    trace.dictationAbandoned();
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}
