#pragma once

#include "platform/AudioCapture.h"

#include <memory>
#include <mutex>
#include <vector>

// A microphone whose source and audio the test supplies. Buffers are delivered on the test's thread.
class FakeAudioCapture final : public AudioCapture {
public:
    std::optional<int> defaultSourceSampleRate() override;
    Status start(BufferHandler handler) override;
    void stop() override;
    bool isRunning() const override;
    int sampleRate() const override;
    void setSourceChangedHandler(std::function<void()> handler) override;

    // The default source's rate; nullopt: no source. A change does not reach a running stream.
    void setSource(std::optional<int> sampleRate);
    // Replaces the source and notifies the source-changed handler.
    void changeSource(std::optional<int> sampleRate);
    void setStartFailure(std::optional<QString> reason);

    // Delivers the samples in pieces of kFramesPerBuffer (the last one may be shorter). Returns the number of
    // buffers delivered: 0 when not running.
    int feed(const std::vector<float>& samples);
    int startCount() const;

private:
    mutable std::mutex m_mutex;
    std::optional<int> m_sourceRate = 48000;
    std::optional<QString> m_startFailure;
    // Shared, so feeding a buffer copies a pointer rather than the handler (the engine's benchmark counts
    // allocations per buffer).
    std::shared_ptr<const BufferHandler> m_handler;
    int m_runningRate = 0;
    std::function<void()> m_sourceChangedHandler;
    int m_starts = 0;
};
