#include "platform/linux/PingLedger.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = PingLedger::Clock;

const Clock::time_point t0 = Clock::time_point{} + 1h;
constexpr PingLedger::Window kWindowA = 0x400001;
constexpr PingLedger::Window kWindowB = 0x600001;

} // namespace

TEST(PingLedger, EachClientAnswersForTheKeysThatWentToItAlone)
{
    PingLedger ledger;
    // Two keys to A, then the focus moves to B while A is still behind.
    ledger.notePress(10, t0);
    ledger.notePress(11, t0);
    EXPECT_TRUE(ledger.hasPressesSincePing());
    EXPECT_FALSE(ledger.isPinged(10));
    ledger.pingSent(kWindowA, 1, t0 + 1ms);
    EXPECT_TRUE(ledger.isPinged(10));
    EXPECT_FALSE(ledger.hasPressesSincePing());
    ledger.notePress(12, t0 + 2ms);
    ledger.pingSent(kWindowB, 2, t0 + 3ms);

    EXPECT_TRUE(ledger.takeAnswer(kWindowB, 2));
    const Clock::time_point later = t0 + 1s; // long past the quiet time: only answers count here
    EXPECT_TRUE(ledger.isRead(12, later));
    EXPECT_FALSE(ledger.isRead(10, later)) << "B's answer said nothing of A's keys";
    EXPECT_FALSE(ledger.isRead(11, later));
    ASSERT_TRUE(ledger.pendingPing(10));
    EXPECT_EQ(ledger.pendingPing(10)->window, kWindowA);
    EXPECT_EQ(ledger.pendingPing(10)->serial, 1);
    EXPECT_TRUE(ledger.hasPingsOut());

    EXPECT_FALSE(ledger.takeAnswer(kWindowB, 1)) << "A's ping answered as if by B";
    EXPECT_FALSE(ledger.takeAnswer(kWindowA, 77)) << "the window manager's own ping";
    EXPECT_TRUE(ledger.takeAnswer(kWindowA, 1));
    EXPECT_TRUE(ledger.isRead(10, t0 + 4ms));
    EXPECT_TRUE(ledger.isRead(11, t0 + 4ms));
    EXPECT_FALSE(ledger.hasPingsOut());
    EXPECT_TRUE(ledger.isRead(99, t0)) << "a key never pressed";
}

TEST(PingLedger, AnAnswerCoversTheClientsEarlierPingsAndAKeyPressedAgainWaitsForItsOwn)
{
    PingLedger ledger;
    ledger.notePress(10, t0);
    ledger.pingSent(kWindowA, 1, t0);
    ledger.notePress(11, t0 + 1ms);
    ledger.pingSent(kWindowA, 2, t0 + 1ms);
    ledger.notePress(10, t0 + 2ms); // the key comes round again
    ledger.pingSent(kWindowA, 3, t0 + 2ms);

    EXPECT_TRUE(ledger.takeAnswer(kWindowA, 2));
    EXPECT_TRUE(ledger.isRead(11, t0 + 3ms));
    EXPECT_FALSE(ledger.isRead(10, t0 + 1s)) << "its later press is not answered for";
    EXPECT_FALSE(ledger.takeAnswer(kWindowA, 1)) << "answered by the later answer already";
    EXPECT_EQ(ledger.pendingPing(10)->serial, 3);
    EXPECT_TRUE(ledger.takeAnswer(kWindowA, 3));
    EXPECT_TRUE(ledger.isRead(10, t0 + 3ms));
}

TEST(PingLedger, KeysNoClientCanBeAskedAboutGetTheQuietTime)
{
    PingLedger ledger;
    // No focused client takes pings.
    ledger.notePress(10, t0);
    ledger.pingNotSent();
    EXPECT_TRUE(ledger.isPinged(10));
    EXPECT_FALSE(ledger.pendingPing(10));
    EXPECT_FALSE(ledger.isRead(10, t0 + PingLedger::kQuiet - 1ms));
    EXPECT_TRUE(ledger.isRead(10, t0 + PingLedger::kQuiet));
    EXPECT_EQ(ledger.quietEnd(10), t0 + PingLedger::kQuiet);

    // A client that let a ping go unanswered: its keys are not waited for, until it answers one.
    ledger.notePress(11, t0);
    ledger.pingSent(kWindowA, 1, t0);
    EXPECT_FALSE(ledger.isRead(11, t0 + 1s)) << "a ping is out: its answer decides";
    ledger.markSilent(kWindowA);
    EXPECT_FALSE(ledger.pendingPing(11));
    EXPECT_FALSE(ledger.isRead(11, t0 + PingLedger::kQuiet - 1ms));
    EXPECT_TRUE(ledger.isRead(11, t0 + PingLedger::kQuiet));
    ledger.notePress(12, t0 + 1s);
    ledger.pingSent(kWindowA, 2, t0 + 1s);
    EXPECT_FALSE(ledger.pendingPing(12)) << "sent, but not waited for";
    EXPECT_TRUE(ledger.takeAnswer(kWindowA, 2));
    ledger.notePress(13, t0 + 2s);
    ledger.pingSent(kWindowA, 3, t0 + 2s);
    EXPECT_TRUE(ledger.pendingPing(13)) << "answering again, it is waited for again";
}

TEST(PingLedger, PingsOutTooLongAreGivenUp)
{
    PingLedger ledger;
    EXPECT_FALSE(ledger.nextExpiry());
    ledger.notePress(10, t0);
    ledger.pingSent(kWindowA, 1, t0);
    ledger.notePress(11, t0 + 100ms);
    ledger.pingSent(kWindowB, 2, t0 + 100ms);
    EXPECT_EQ(ledger.nextExpiry(), t0 + PingLedger::kAnswerWait);
    EXPECT_EQ(ledger.quietEndOfUnanswered(), t0 + 100ms + PingLedger::kQuiet);

    ledger.expire(t0 + PingLedger::kAnswerWait);
    EXPECT_EQ(ledger.nextExpiry(), t0 + 100ms + PingLedger::kAnswerWait);
    EXPECT_TRUE(ledger.isRead(10, t0 + PingLedger::kAnswerWait)) << "given up: the quiet time has passed";
    EXPECT_FALSE(ledger.isRead(11, t0 + PingLedger::kAnswerWait));
    ledger.expire(t0 + 100ms + PingLedger::kAnswerWait);
    EXPECT_FALSE(ledger.hasPingsOut());
    EXPECT_FALSE(ledger.takeAnswer(kWindowB, 2)) << "an answer after it was given up";

    // A client that never answers still has only so many pings out.
    for (long serial = 3; serial < 3 + 2 * static_cast<long>(PingLedger::kMaxPingsOut); ++serial) {
        ledger.notePress(12, t0 + 3s);
        ledger.pingSent(kWindowA, serial, t0 + 3s);
    }
    std::size_t out = 0;
    for (long serial = 3; serial < 3 + 2 * static_cast<long>(PingLedger::kMaxPingsOut); ++serial)
        out += ledger.takeAnswer(kWindowA, serial) ? 1 : 0;
    EXPECT_EQ(out, PingLedger::kMaxPingsOut) << "only the newest are kept";
    EXPECT_TRUE(ledger.isRead(12, t0 + 3s));
}
