#pragma once

#include "platform/AudioCapture.h"

#include <memory>

// The microphone through PulseAudio (or PipeWire's PulseAudio server): a record stream on the default source,
// float32 mono at the source's own rate, delivered in kFramesPerBuffer pieces on PulseAudio's own loop
// thread. A change of the default source, of its rate, or the loss of the source or the server is reported
// through the source-changed handler; a stream whose source goes away stops by itself.
class PulseAudioCapture final : public AudioCapture {
public:
    PulseAudioCapture();
    ~PulseAudioCapture() override;
    PulseAudioCapture(const PulseAudioCapture&) = delete;
    PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

    std::optional<int> defaultSourceSampleRate() override;
    Status start(BufferHandler handler) override;
    void stop() override;
    bool isRunning() const override;
    int sampleRate() const override;
    void setSourceChangedHandler(std::function<void()> handler) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
