#pragma once

#include "fakes/Guarded.h"
#include "platform/AudioOutput.h"

#include <QList>
#include <QMap>

// Output devices the test describes: with or without a (settable) mute control, with per-channel volumes.
class FakeAudioOutput final : public AudioOutput, private Guarded {
public:
    struct Device {
        std::optional<bool> muted; // nullopt: no mute control
        bool muteSettable = true;
        QList<float> channelVolumes; // empty: no volume control
        bool volumeSettable = true;
    };

    std::optional<QString> defaultOutputDevice() override { return guarded(m_default); }
    std::optional<bool> isMuted(const QString& device) override;
    Status setMuted(const QString& device, bool muted) override;
    std::optional<float> volume(const QString& device) override;
    Status setVolume(const QString& device, float volume) override;
    std::optional<SavedVolume> saveVolume(const QString& device) override;
    Status restoreVolume(const QString& device, const SavedVolume& saved) override;

    void setDevice(const QString& id, Device device)
    {
        std::lock_guard lock(m_mutex);
        m_devices.insert(id, std::move(device));
    }
    void setDefaultDevice(std::optional<QString> id) { setGuarded(m_default, std::move(id)); }
    std::optional<Device> device(const QString& id) const;
    // Successful mute and volume writes so far.
    int writeCount() const { return guarded(m_writes); }

private:
    // nullptr when there is no such device; m_mutex held.
    Device* findLocked(const QString& id);

    QMap<QString, Device> m_devices;
    std::optional<QString> m_default;
    int m_writes = 0;
};
