#pragma once

#include "platform/AudioOutput.h"

#include <QString>
#include <functional>
#include <mutex>

class QObject;

// Silences the default sound output while the user dictates and undoes exactly what it did, once: it mutes
// the device when it can and the device is not muted yet, and otherwise turns the device's whole volume down
// to zero, keeping every channel's old volume. A device the user muted is left alone and never unmuted by us.
// Both operations may be called from any thread; no lock is held while the sound server is asked.
class SystemAudioDucker final {
public:
    explicit SystemAudioDucker(AudioOutput& output);
    ~SystemAudioDucker(); // restores
    SystemAudioDucker(const SystemAudioDucker&) = delete;
    SystemAudioDucker& operator=(const SystemAudioDucker&) = delete;

    void muteIfNeeded();
    void restoreIfNeeded();

private:
    // What a mute changed, so that exactly that can be undone on the same device.
    struct Change {
        QString device;
        bool usedVolumeFallback = false;
        SavedVolume savedVolume;
    };

    // Asks the sound server; no lock held. Empty when nothing was changed.
    std::optional<Change> silence();
    void undo(const Change& change);

    // A volume at or below this is already silent: nothing is changed, so nothing will be restored.
    static constexpr float kSilentVolume = 0.001f;

    AudioOutput& m_output;

    std::mutex m_lock; // guards the fields below
    bool m_didAutoMute = false;
    Change m_change;
    // A mute is being applied outside the lock; a restore asked for meanwhile is carried out by the muter as
    // soon as its change is known, so the two never cross.
    bool m_muteInFlight = false;
    bool m_restoreRequested = false;
};

// SIGTERM and SIGINT restore the sound output before the app quits. The signal handlers only write to a
// self-pipe; a socket notifier owned by `context` then calls ducker.restoreIfNeeded() and `quit` on the
// main thread, and puts the default handlers back so a second signal ends the process at once. The
// previous handlers come back when `context` is destroyed. Call once from main() after the QApplication
// exists, with a context that dies before the ducker; false when the pipe or the handlers could not be set
// up (or they already are).
bool restoreOnTerminationSignals(QObject* context, SystemAudioDucker& ducker, std::function<void()> quit);
