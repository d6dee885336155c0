#include "system/AudioLevelBus.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(AudioLevelBus, EnvelopeStartsAliveAndFollowsItsBallistics)
{
    AudioLevelBus bus;
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.06f);
    bus.reset();
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.05f);
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.05f);

    bus.push(1.0f); // attack: 38 % of the gap per frame
    EXPECT_NEAR(bus.sampleBallisticEnvelope(), 0.05f + 0.95f * 0.38f, 1e-6);
    bus.push(0.0f); // stored as the 0.05 floor; release: 14 % of the gap
    const float before = 0.05f + 0.95f * 0.38f;
    EXPECT_NEAR(bus.sampleBallisticEnvelope(), before + (0.05f - before) * 0.14f, 1e-6);
}

TEST(AudioLevelBus, LevelsAreClamped)
{
    AudioLevelBus bus;
    bus.reset();
    bus.push(3.7f);
    EXPECT_NEAR(bus.sampleBallisticEnvelope(), 0.05f + 0.95f * 0.38f, 1e-6) << "3.7 is stored as 1";
    bus.reset();
    bus.push(std::nanf(""));
    EXPECT_NEAR(bus.sampleBallisticEnvelope(), 0.05f + 0.95f * 0.38f, 1e-6) << "NaN is stored as 1";
    bus.reset();
    bus.push(-2.0f);
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.05f);
}

TEST(AudioLevelBus, SymbolProgressRisesWithAMinimumStepAndNeverOvershoots)
{
    AudioLevelBus bus;
    bus.pushRecognizedCount(10);
    std::vector<double> samples;
    for (int i = 0; i < 40; ++i)
        samples.push_back(bus.sampleRecognizedSymbolProgress().smoothProgress);
    EXPECT_NEAR(samples[0], 2.4, 1e-9);
    EXPECT_NEAR(samples[1], 4.224, 1e-9);
    EXPECT_NEAR(samples[2], 5.61024, 1e-9);
    for (size_t i = 1; i < samples.size(); ++i) {
        EXPECT_GE(samples[i], samples[i - 1]);
        EXPECT_LE(samples[i], 10.0);
    }
    EXPECT_EQ(samples.back(), 10.0) << "ends exactly on the target";
    EXPECT_EQ(bus.sampleRecognizedSymbolProgress().exactTarget, 10);

    bus.pushRecognizedCount(0);
    EXPECT_NEAR(bus.sampleRecognizedSymbolProgress().smoothProgress, 7.0, 1e-9);
    EXPECT_NEAR(bus.sampleRecognizedSymbolProgress().smoothProgress, 4.9, 1e-9);
    EXPECT_NEAR(bus.sampleRecognizedSymbolProgress().smoothProgress, 3.43, 1e-9);

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
        ASSERT_GE(level, 0.05f);
        ASSERT_LE(level, 1.0f);
        ASSERT_GE(progress.exactTarget, 0);
        ASSERT_GE(progress.smoothProgress, 0.0);
    }
    writer.join();
    EXPECT_EQ(&AudioLevelBus::shared(), &AudioLevelBus::shared());
}
