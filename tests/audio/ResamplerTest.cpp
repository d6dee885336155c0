#include "audio/Resampler.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

namespace {

std::vector<float> sine(int rate, double frequency, double seconds, double amplitude)
{
    std::vector<float> samples(static_cast<size_t>(rate * seconds));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * i / rate));
    return samples;
}

int zeroCrossings(const std::vector<int16_t>& samples)
{
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    return crossings;
}

int16_t peak(const std::vector<int16_t>& samples, size_t from)
{
    int16_t largest = 0;
    for (size_t i = from; i < samples.size(); ++i)
        largest = std::max<int16_t>(largest, static_cast<int16_t>(std::abs(samples[i])));
    return largest;
}

TEST(Resampler, OneShotKeepsLengthPitchAndLevel)
{
    for (int rate : {48000, 44100, 16000, 8000}) {
        SCOPED_TRACE(rate);
        const std::vector<int16_t> out = resampleFloatTo16kHzInt16(sine(rate, 440, 1.0, 0.5), rate);
        EXPECT_NEAR(static_cast<double>(out.size()), 16000.0, 32.0);
        EXPECT_NEAR(zeroCrossings(out), 880, 4);
        EXPECT_NEAR(peak(out, 100), 16384, 300);
    }
}

TEST(Resampler, LoudInputSaturatesAndUnusableInputGivesNothing)
{
    // Past the filter's start-up the level sits at the limit; a wrapped value would flip sign.
    const auto allEqual = [](const std::vector<int16_t>& out, int16_t value, long skip) {
        return !out.empty() &&
               std::all_of(out.begin() + skip, out.end() - skip, [&](int16_t s) { return s == value; });
    };
    EXPECT_TRUE(allEqual(resampleFloatTo16kHzInt16(std::vector<float>(16000, 1.5f), 48000), 32767, 64));
    EXPECT_TRUE(allEqual(resampleFloatTo16kHzInt16(std::vector<float>(16000, -1.5f), 16000), -32768, 64));
    EXPECT_TRUE(allEqual(resampleFloatTo16kHzInt16(std::vector<float>(512, std::nanf("")), 48000), 0, 0));

    const std::vector<float> samples(512, 0.1f);
    EXPECT_TRUE(resampleFloatTo16kHzInt16({}, 48000).empty());
    for (int rate : {0, -48000, 16000 * 1000})
        EXPECT_TRUE(resampleFloatTo16kHzInt16(samples, rate).empty()) << rate;
    StreamingResampler invalid(0);
    EXPECT_FALSE(invalid.isValid());
    EXPECT_TRUE(invalid.process(samples).empty());
}

// Buffer by buffer the converter must produce the same signal as one pass over the whole recording: the
// filter state carries across buffers, so the joins are seamless.
TEST(Resampler, StreamingMatchesOneShotAcrossBufferJoins)
{
    const std::vector<float> input = sine(48000, 1000, 0.5, 0.4);
    const std::vector<int16_t> whole = resampleFloatTo16kHzInt16(input, 48000);

    StreamingResampler stream(48000);
    ASSERT_TRUE(stream.isValid());
    std::vector<int16_t> pieces;
    for (size_t at = 0; at < input.size(); at += 512) {
        const size_t count = std::min<size_t>(512, input.size() - at);
        const std::vector<int16_t> out = stream.process(std::span(input).subspan(at, count));
        pieces.insert(pieces.end(), out.begin(), out.end());
    }
    // The stream is never ended, so the filter still holds its last few milliseconds.
    ASSERT_GT(pieces.size(), whole.size() - 200);
    ASSERT_LE(pieces.size(), whole.size());
    for (size_t i = 0; i < pieces.size(); ++i)
        ASSERT_NEAR(pieces[i], whole[i], 1) << "at " << i;

    // After a reset the next buffer starts as a fresh stream would.
    stream.reset();
    StreamingResampler fresh(48000);
    const std::span<const float> first = std::span(input).first(512);
    EXPECT_EQ(stream.process(first), fresh.process(first));
}

} // namespace
