#include "platform/linux/PulseAudioCapture.h"

#include <QProcess>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The private server's microphone (tests/integration/services/pulse-start.sh).
constexpr int kMicrophoneRate = 44100;
constexpr double kMicrophoneFrequency = 440;

// Collects buffers from the capture thread; waits are bounded.
class Recorder {
public:
    AudioCapture::BufferHandler handler()
    {
        return [this](std::span<const float> samples) {
            {
                std::lock_guard lock(m_mutex);
                m_sizes.push_back(samples.size());
                m_samples.insert(m_samples.end(), samples.begin(), samples.end());
            }
            m_arrived.notify_all();
        };
    }
    bool waitForBuffers(size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_arrived.wait_for(lock, 10s, [&] { return m_sizes.size() >= count; });
    }
    std::vector<size_t> sizes()
    {
        std::lock_guard lock(m_mutex);
        return m_sizes;
    }
    std::vector<float> samples()
    {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<size_t> m_sizes;
    std::vector<float> m_samples;
};

QString pactl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << arguments.join(u' ').toStdString() << ": "
                      << process.readAllStandardError().toStdString();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

TEST(PulseAudioCapture, CapturesTheMicrophoneAtItsOwnRateIn512FramePieces)
{
    PulseAudioCapture capture;
    EXPECT_EQ(capture.defaultSourceSampleRate(), kMicrophoneRate);
    EXPECT_FALSE(capture.isRunning());
    EXPECT_EQ(capture.sampleRate(), 0);

    Recorder recorder;
    const Status started = capture.start(recorder.handler());
    ASSERT_TRUE(started) << started.error.toStdString();
    EXPECT_TRUE(capture.isRunning());
    EXPECT_EQ(capture.sampleRate(), kMicrophoneRate);
    EXPECT_FALSE(capture.start(recorder.handler())) << "a second start while running must fail";

    ASSERT_TRUE(recorder.waitForBuffers(60)) << "no audio arrived";
    capture.stop();
    EXPECT_FALSE(capture.isRunning());
    EXPECT_EQ(capture.sampleRate(), 0);

    for (size_t size : recorder.sizes())
        ASSERT_EQ(size, static_cast<size_t>(AudioCapture::kFramesPerBuffer));
    // The sine wave came through: loud, and at its pitch for the rate the capture reports.
    const std::vector<float> samples = recorder.samples();
    double sumOfSquares = 0;
    int crossings = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        sumOfSquares += static_cast<double>(samples[i]) * samples[i];
        if (i > 0)
            crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(samples.size()));
    EXPECT_GT(rms, 0.05);
    const double seconds = static_cast<double>(samples.size()) / kMicrophoneRate;
    EXPECT_NEAR(crossings / seconds / 2, kMicrophoneFrequency, kMicrophoneFrequency * 0.03);

    // The capture can be started again after a stop.
    Recorder again;
    ASSERT_TRUE(capture.start(again.handler()));
    EXPECT_TRUE(again.waitForBuffers(5));
    capture.stop();
}

TEST(PulseAudioCapture, HandlerMayStopTheCaptureItself)
{
    PulseAudioCapture capture;
    std::mutex mutex;
    std::condition_variable stopped;
    int calls = 0;
    const Status started = capture.start([&](std::span<const float>) {
        capture.stop();
        {
            std::lock_guard lock(mutex);
            ++calls;
        }
        stopped.notify_all();
    });
    ASSERT_TRUE(started) << started.error.toStdString();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(stopped.wait_for(lock, 10s, [&] { return calls > 0; }));
    }
    EXPECT_FALSE(capture.isRunning());
    // Starting again releases the stopped stream and captures normally.
    Recorder recorder;
    ASSERT_TRUE(capture.start(recorder.handler()));
    EXPECT_TRUE(recorder.waitForBuffers(3));
    capture.stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 1);
}

// A new default microphone with another rate is announced; a restart then captures at the new rate.
TEST(PulseAudioCapture, ReportsADefaultSourceChange)
{
    PulseAudioCapture capture;
    std::mutex mutex;
    std::condition_variable changed;
    int changes = 0;
    capture.setSourceChangedHandler([&] {
        {
            std::lock_guard lock(mutex);
            ++changes;
        }
        changed.notify_all();
    });
    Recorder first;
    ASSERT_TRUE(capture.start(first.handler()));
    ASSERT_TRUE(first.waitForBuffers(2));

    const QString module = pactl({QStringLiteral("load-module"), QStringLiteral("module-sine-source"),
                                  QStringLiteral("source_name=headset"), QStringLiteral("rate=32000"),
                                  QStringLiteral("frequency=1000")});
    ASSERT_FALSE(module.isEmpty());
    // Leave the server as the other tests expect it, even when this one fails half-way.
    const std::shared_ptr<void> restore(nullptr, [module](void*) {
        for (const QStringList& arguments :
             {QStringList{QStringLiteral("set-default-source"), QStringLiteral("microphone")},
              QStringList{QStringLiteral("unload-module"), module}}) {
            QProcess process;
            process.start(QStringLiteral("pactl"), arguments);
            process.waitForFinished(10000);
        }
    });
    pactl({QStringLiteral("set-default-source"), QStringLiteral("headset")});
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return changes > 0; }));
    }
    EXPECT_EQ(capture.defaultSourceSampleRate(), 32000);

    capture.stop();
    Recorder second;
    ASSERT_TRUE(capture.start(second.handler()));
    EXPECT_EQ(capture.sampleRate(), 32000);
    EXPECT_TRUE(second.waitForBuffers(3));

    auto changeCount = [&] {
        std::lock_guard lock(mutex);
        return changes;
    };
    auto waitForChangeAfter = [&](int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return changes > count; });
    };
    int before = changeCount();
    pactl({QStringLiteral("set-default-source"), QStringLiteral("microphone")});
    EXPECT_TRUE(waitForChangeAfter(before));
    EXPECT_TRUE(capture.isRunning()) << "a running stream stays on its source";

    // Removing the source under the running stream stops it, and that is announced too.
    before = changeCount();
    pactl({QStringLiteral("unload-module"), module});
    EXPECT_TRUE(waitForChangeAfter(before));
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
        EXPECT_FALSE(capture.isRunning());
    }
    qputenv("PULSE_SERVER", server);
}

} // namespace
