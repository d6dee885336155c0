#include "platform/linux/PulseAudioCapture.h"
#include "Counter.h"
#include "Pactl.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The private server's microphone (tests/integration/services/pulse-start.sh).
constexpr int kMicrophoneRate = 44100;
constexpr double kMicrophoneFrequency = 440;

// A handler that only counts the buffers it gets.
AudioCapture::BufferHandler counting(Counter& buffers)
{
    return [&buffers](std::span<const float>) { buffers.bump(); };
}

TEST(PulseAudioCapture, CapturesTheMicrophoneAtItsOwnRateIn512FramePieces)
{
    PulseAudioCapture capture;
    EXPECT_EQ(capture.defaultSourceSampleRate(), kMicrophoneRate);
    std::mutex mutex;
    std::vector<float> samples;
    std::atomic<int> otherSizes = 0;
    Counter buffers;
    const Status started = capture.start([&](std::span<const float> buffer) {
        if (buffer.size() != AudioCapture::kFramesPerBuffer)
            ++otherSizes;
        {
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), buffer.begin(), buffer.end());
        }
        buffers.bump();
    });
    ASSERT_TRUE(started) << started.error.toStdString();
    EXPECT_EQ(capture.sampleRate(), kMicrophoneRate);
    EXPECT_FALSE(capture.start(counting(buffers))) << "a second start while running must fail";
    ASSERT_TRUE(buffers.waitAbove(59)) << "no audio arrived";
    capture.stop();
    EXPECT_FALSE(capture.isRunning());
    EXPECT_EQ(otherSizes, 0);

    // The sine wave came through: loud, and at its pitch for the rate the capture reports.
    std::lock_guard lock(mutex);
    double sumOfSquares = 0;
    int crossings = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        sumOfSquares += static_cast<double>(samples[i]) * samples[i];
        if (i > 0)
            crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    EXPECT_GT(std::sqrt(sumOfSquares / static_cast<double>(samples.size())), 0.05);
    const double seconds = static_cast<double>(samples.size()) / kMicrophoneRate;
    EXPECT_NEAR(crossings / seconds / 2, kMicrophoneFrequency, kMicrophoneFrequency * 0.03);
}

TEST(PulseAudioCapture, HandlerMayStopTheCaptureItself)
{
    PulseAudioCapture capture;
    Counter calls;
    const Status started = capture.start([&](std::span<const float>) {
        capture.stop();
        calls.bump();
    });
    ASSERT_TRUE(started) << started.error.toStdString();
    ASSERT_TRUE(calls.waitAbove(0));
    EXPECT_FALSE(capture.isRunning());
    // Starting again releases the stopped stream and captures normally.
    Counter buffers;
    ASSERT_TRUE(capture.start(counting(buffers)));
    EXPECT_TRUE(buffers.waitAbove(2));
    capture.stop();
    EXPECT_EQ(calls.count(), 1);
}

// A new default microphone with another rate is announced; a restart then captures at the new rate.
TEST(PulseAudioCapture, ReportsADefaultSourceChange)
{
    PulseAudioCapture capture;
    Counter changes;
    capture.setSourceChangedHandler([&] { changes.bump(); });
    Counter first;
    ASSERT_TRUE(capture.start(counting(first)));
    ASSERT_TRUE(first.waitAbove(1));

    const QString module = pactl({QStringLiteral("load-module"), QStringLiteral("module-sine-source"),
                                  QStringLiteral("source_name=headset"), QStringLiteral("rate=32000"),
                                  QStringLiteral("frequency=1000")});
    ASSERT_FALSE(module.isEmpty());
    // Leave the server as the other tests expect it, even when this one fails half-way.
    const std::shared_ptr<void> restore(nullptr, [module](void*) {
        bool ok = false;
        pactl({QStringLiteral("set-default-source"), QStringLiteral("microphone")}, &ok);
        pactl({QStringLiteral("unload-module"), module}, &ok);
    });
    pactl({QStringLiteral("set-default-source"), QStringLiteral("headset")});
    EXPECT_TRUE(changes.waitAbove(0));
    EXPECT_EQ(capture.defaultSourceSampleRate(), 32000);

    capture.stop();
    Counter second;
    ASSERT_TRUE(capture.start(counting(second)));
    EXPECT_EQ(capture.sampleRate(), 32000);
    EXPECT_TRUE(second.waitAbove(2));

    int before = changes.count();
    pactl({QStringLiteral("set-default-source"), QStringLiteral("microphone")});
    EXPECT_TRUE(changes.waitAbove(before));
    EXPECT_TRUE(capture.isRunning()) << "a running stream stays on its source";

    // Removing the source under the running stream stops it, and that is announced too.
    before = changes.count();
    pactl({QStringLiteral("unload-module"), module});
    EXPECT_TRUE(changes.waitAbove(before));
    EXPECT_FALSE(capture.isRunning());
    EXPECT_EQ(capture.defaultSourceSampleRate(), kMicrophoneRate);
}

TEST(PulseAudioCapture, NoServerIsAnErrorNotAHang)
{
    const QByteArray server = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/quorbell-test/native");
    {
        PulseAudioCapture capture;
        EXPECT_EQ(capture.defaultSourceSampleRate(), std::nullopt);
        const Status started = capture.start([](std::span<const float>) {});
        EXPECT_FALSE(started);
        EXPECT_FALSE(started.error.isEmpty());
    }
    qputenv("PULSE_SERVER", server);
}

} // namespace
