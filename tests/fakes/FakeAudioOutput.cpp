#include "fakes/FakeAudioOutput.h"

#include <QDataStream>
#include <QIODevice>
#include <algorithm>

FakeAudioOutput::Device* FakeAudioOutput::findLocked(const QString& id)
{
    const auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : &*it;
}

std::optional<FakeAudioOutput::Device> FakeAudioOutput::device(const QString& id) const
{
    std::lock_guard lock(m_mutex);
    return m_devices.contains(id) ? std::optional(m_devices.value(id)) : std::nullopt;
}

std::optional<bool> FakeAudioOutput::isMuted(const QString& device)
{
    std::lock_guard lock(m_mutex);
    const Device* found = findLocked(device);
    return found ? found->muted : std::nullopt;
}

Status FakeAudioOutput::setMuted(const QString& device, bool muted)
{
    std::lock_guard lock(m_mutex);
    Device* found = findLocked(device);
    if (!found || !found->muted || !found->muteSettable)
        return Status::failure(QStringLiteral("no settable mute control"));
    found->muted = muted;
    ++m_writes;
    return Status::success();
}

std::optional<float> FakeAudioOutput::volume(const QString& device)
{
    std::lock_guard lock(m_mutex);
    const Device* found = findLocked(device);
    if (!found || found->channelVolumes.isEmpty())
        return std::nullopt;
    // The loudest channel, as sound servers report a multi-channel volume.
    return *std::max_element(found->channelVolumes.cbegin(), found->channelVolumes.cend());
}

Status FakeAudioOutput::setVolume(const QString& device, float volume)
{
    std::lock_guard lock(m_mutex);
    Device* found = findLocked(device);
    if (!found || found->channelVolumes.isEmpty() || !found->volumeSettable)
        return Status::failure(QStringLiteral("no settable volume control"));
    std::fill(found->channelVolumes.begin(), found->channelVolumes.end(), std::clamp(volume, 0.0f, 1.0f));
    ++m_writes;
    return Status::success();
}

std::optional<SavedVolume> FakeAudioOutput::saveVolume(const QString& device)
{
    std::lock_guard lock(m_mutex);
    const Device* found = findLocked(device);
    if (!found || found->channelVolumes.isEmpty())
        return std::nullopt;
    SavedVolume saved;
    QDataStream stream(&saved.state, QIODevice::WriteOnly);
    stream << found->channelVolumes;
    return saved;
}

Status FakeAudioOutput::restoreVolume(const QString& device, const SavedVolume& saved)
{
    QList<float> channels;
    QDataStream stream(saved.state);
    stream >> channels;
    if (stream.status() != QDataStream::Ok || channels.isEmpty())
        return Status::failure(QStringLiteral("not a saved volume"));
    std::lock_guard lock(m_mutex);
    Device* found = findLocked(device);
    if (!found || found->channelVolumes.size() != channels.size() || !found->volumeSettable)
        return Status::failure(QStringLiteral("volume does not fit the device"));
    found->channelVolumes = channels;
    ++m_writes;
    return Status::success();
}
