#include "model/AudioLevelBus.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

namespace {
constexpr float kFloor = 0.05f;
constexpr float kFirstAttack = kFloor + (1 - kFloor) * 0.38f; // 38 % of the gap per frame
} // namespace

TEST(AudioLevelBus, EnvelopeFollowsItsBallisticsOnClampedLevels)
{
    AudioLevelBus bus;
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.06f) << "starts alive";
    bus.reset();
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), kFloor);
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), kFloor);
    bus.push(1.0f);
    EXPECT_NEAR(bus.sampleBallisticEnvelope(), kFirstAttack, 1e-6);
    bus.push(0.0f); // release: 14 % of the gap to the floor
    EXPECT_NEAR(bus.sampleBallisticEnvelope(), kFirstAttack + (kFloor - kFirstAttack) * 0.14f, 1e-6);

    const struct {
        float pushed;
        float firstFrame;
    } clamped[] = {{3.7f, kFirstAttack}, {std::nanf(""), kFirstAttack}, {-2.0f, kFloor}};
    for (const auto& c : clamped) {
        SCOPED_TRACE(c.pushed);
        bus.reset();
        bus.push(c.pushed);
        EXPECT_NEAR(bus.sampleBallisticEnvelope(), c.firstFrame, 1e-6);
    }
}

TEST(AudioLevelBus, SymbolProgressRisesWithAMinimumStepAndNeverOvershoots)
{
    AudioLevelBus bus;
    bus.pushRecognizedCount(10);
    const double rises[] = {2.4, 4.224, 5.61024};
    for (double expected : rises)
        EXPECT_NEAR(bus.sampleRecognizedSymbolProgress().smoothProgress, expected, 1e-9);
    double last = rises[2];
    for (int i = 0; i < 37; ++i) {
        const double now = bus.sampleRecognizedSymbolProgress().smoothProgress;
        EXPECT_GE(now, last);
        EXPECT_LE(now, 10.0);
        last = now;
    }
    EXPECT_EQ(last, 10.0) << "ends exactly on the target";
    EXPECT_EQ(bus.sampleRecognizedSymbolProgress().exactTarget, 10);

    bus.pushRecognizedCount(0); // falls by 30 % of the gap
    for (double expected : {7.0, 4.9, 3.43})
        EXPECT_NEAR(bus.sampleRecognizedSymbolProgress().smoothProgress, expected, 1e-9);
    bus.pushRecognizedCount(-4);
    EXPECT_EQ(bus.sampleRecognizedSymbolProgress().exactTarget, 0);
    bus.reset();
    EXPECT_EQ(bus.sampleRecognizedSymbolProgress().smoothProgress, 0.0);
}

TEST(AudioLevelBus, WritersOnOtherThreadsNeverTearTheState)
{
    AudioLevelBus bus;
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            bus.push(static_cast<float>(i % 100) / 100.0f);
            bus.pushRecognizedCount(i % 50);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        const float level = bus.sampleBallisticEnvelope();
        const auto progress = bus.sampleRecognizedSymbolProgress();
        ASSERT_TRUE(level >= kFloor && level <= 1.0f) << level;
        ASSERT_TRUE(progress.exactTarget >= 0 && progress.smoothProgress >= 0.0);
    }
    writer.join();
}
