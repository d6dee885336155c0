#pragma once

#include "platform/AudioCapture.h"

#include <memory>

// The microphone through PulseAudio (or PipeWire's PulseAudio server): a record stream on the default source,
// float32 mono at the source's own rate, delivered in kFramesPerBuffer pieces on PulseAudio's own loop
// thread. A change of the default source, of its rate, or the loss of the source or the server is reported
// through the source-changed handler; a stream whose source goes away stops by itself. The connection to the
// server is made at construction and kept while idle; the server's events keep the default source as last
// seen current, so a start opens its stream without asking for the source again.
class PulseAudioCapture final : public AudioCapture {
public:
    PulseAudioCapture();
    ~PulseAudioCapture() override;
    PulseAudioCapture(const PulseAudioCapture&) = delete;
    PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

    std::optional<int> defaultSourceSampleRate() override;
    std::optional<int> lastSeenSourceSampleRate() const override;
    Status start(BufferHandler handler) override;
    void stop() override;
    bool isRunning() const override;
    int sampleRate() const override;
    void setSourceChangedHandler(std::function<void()> handler) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
