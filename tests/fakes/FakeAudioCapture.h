#pragma once

#include "fakes/Guarded.h"
#include "platform/AudioCapture.h"

#include <memory>
#include <vector>

// A microphone whose source and audio the test supplies. Buffers are delivered on the test's thread.
class FakeAudioCapture final : public AudioCapture, private Guarded {
public:
    std::optional<int> defaultSourceSampleRate() override { return guarded(m_sourceRate); }
    std::optional<int> lastSeenSourceSampleRate() const override { return guarded(m_sourceRate).value_or(0); }
    Status start(BufferHandler handler) override;
    void stop() override;
    bool isRunning() const override { return guarded(m_handler) != nullptr; }
    int sampleRate() const override { return guarded(m_runningRate); }
    // The source never changes under a test, so the handler is never called.
    void setSourceChangedHandler(std::function<void()>) override {}

    // The default source's rate; nullopt: no source. A change does not reach a running stream.
    void setSource(std::optional<int> sampleRate) { setGuarded(m_sourceRate, sampleRate); }

    // Delivers the samples in pieces of kFramesPerBuffer (the last one may be shorter). Returns the number of
    // buffers delivered: 0 when not running.
    int feed(const std::vector<float>& samples);
    int startCount() const { return guarded(m_starts); }

private:
    std::optional<int> m_sourceRate = 48000;
    // Shared, so feeding a buffer copies a pointer rather than the handler (the engine's benchmark counts
    // allocations per buffer).
    std::shared_ptr<const BufferHandler> m_handler;
    int m_runningRate = 0;
    int m_starts = 0;
};
