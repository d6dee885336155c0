#pragma once

#include "platform/AudioOutput.h"

#include <QByteArray>
#include <functional>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_operation;
struct pa_cvolume;

// One connection to the sound server (PulseAudio, or PipeWire's pulse server) on libpulse's threaded main
// loop. Every member except the constructor and destructor is called with the loop locked (Lock); waits
// are bounded, so a server that stops answering costs at most the time-out. The output and sound backends
// each own one.
class PulseConnection final {
public:
    explicit PulseConnection(QByteArray clientName);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    class Lock {
    public:
        explicit Lock(PulseConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        PulseConnection& m_connection;
    };

    // A ready context, connecting (again) first when there is none or it failed and waiting up to the
    // time-out; nullptr when the server cannot be reached.
    pa_context* readyContext();
    // The context, starting a connection without waiting when there is none or it failed; nullptr when not
    // even that could begin. isReady() tells whether it can be used yet.
    pa_context* connectingContext();
    bool isReady() const;
    // Waits for the operation to finish within the time-out and releases it; false on time-out (the
    // operation is cancelled) or when the connection broke meanwhile.
    bool await(pa_operation* operation);
    // Called on the loop thread, loop locked, when the context becomes ready (true) or fails (false).
    void setStateHandler(std::function<void(bool ready)> handler);
    // Wakes a waiting await(); for the callbacks of an operation.
    void signal();

private:
    static void onContextState(pa_context* context, void* self);
    bool waitUntil(const std::function<bool()>& done);
    bool startConnecting();
    void dropContext();

    QByteArray m_clientName;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    std::function<void(bool)> m_stateHandler;
};

// The default output device of the sound server: sinks by name, software or hardware mute, and the whole
// per-channel volume saved and put back as it was.
class PulseAudioOutput final : public AudioOutput {
public:
    PulseAudioOutput();
    ~PulseAudioOutput() override;

    std::optional<QString> defaultOutputDevice() override;
    std::optional<bool> isMuted(const QString& device) override;
    Status setMuted(const QString& device, bool muted) override;
    std::optional<float> volume(const QString& device) override;
    Status setVolume(const QString& device, float volume) override;
    std::optional<SavedVolume> saveVolume(const QString& device) override;
    Status restoreVolume(const QString& device, const SavedVolume& saved) override;

private:
    struct SinkState;
    // Loop locked.
    std::optional<SinkState> readSink(pa_context* context, const QString& device);
    // readSink() under the connection's lock; nothing when the server cannot be reached.
    std::optional<SinkState> readSinkNow(const QString& device);
    // Sets the whole volume of the output; the caller holds the connection's lock.
    Status applyVolume(pa_context* context, const QString& device, const pa_cvolume& volume);

    PulseConnection m_connection;
};
