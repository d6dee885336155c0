#pragma once

#include "util/Status.h"

#include <functional>
#include <optional>
#include <span>

// The default microphone, as float32 mono at the source's own sample rate, in pieces of
// kFramesPerBuffer frames. start() and stop() may be called from any thread.
class AudioCapture {
public:
    static constexpr int kFramesPerBuffer = 512;

    // Runs on the capture thread; the samples are valid only during the call.
    using BufferHandler = std::function<void(std::span<const float> samples)>;

    virtual ~AudioCapture() = default;

    // The default source's native sample rate, or nullopt when there is no source. May block briefly.
    virtual std::optional<int> defaultSourceSampleRate() = 0;
    // The default source's rate as last seen, without asking anyone, so safe on the main thread: 0 when there
    // was no source, nullopt when nothing has been seen yet. Backends that watch the source keep it current.
    virtual std::optional<int> lastSeenSourceSampleRate() const { return std::nullopt; }
    // Opens the default source and delivers its audio until stop(). Fails when there is no source or it
    // cannot be opened, and when already running.
    virtual Status start(BufferHandler handler) = 0;
    // Once stop() has returned the handler is not called again.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    // The rate of the running stream in Hz; 0 when stopped.
    virtual int sampleRate() const = 0;
    // Called, from any thread, when the default source changes or goes away; a running stream then keeps
    // reading the old source until it is restarted.
    virtual void setSourceChangedHandler(std::function<void()> handler) = 0;
};
