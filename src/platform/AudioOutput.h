#pragma once

#include "util/Status.h"

#include <QByteArray>
#include <QString>
#include <optional>

// A device's whole volume (every channel), kept to be put back exactly. Its contents are the backend's.
struct SavedVolume {
    QByteArray state;
};

// Mute and volume of the sound output devices. Devices are named by id, so a change can be undone on the
// same device after the default has moved. Calls may block briefly; safe from any thread.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    // nullopt when there is no output device or the sound server cannot be reached.
    virtual std::optional<QString> defaultOutputDevice() = 0;

    // nullopt when the device has no mute control or cannot be read.
    virtual std::optional<bool> isMuted(const QString& device) = 0;
    virtual Status setMuted(const QString& device, bool muted) = 0;

    // The device's volume as one scalar from 0 to 1.
    virtual std::optional<float> volume(const QString& device) = 0;
    // Sets every channel; the value is clamped to 0..1.
    virtual Status setVolume(const QString& device, float volume) = 0;

    virtual std::optional<SavedVolume> saveVolume(const QString& device) = 0;
    virtual Status restoreVolume(const QString& device, const SavedVolume& saved) = 0;
};
