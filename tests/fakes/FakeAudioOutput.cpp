#include "fakes/FakeAudioOutput.h"

#include <QDataStream>
#include <QIODevice>
#include <algorithm>

std::optional<QString> FakeAudioOutput::defaultOutputDevice()
{
    std::lock_guard lock(m_mutex);
    return m_default;
}

std::optional<bool> FakeAudioOutput::isMuted(const QString& device)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.constFind(device);
    return it == m_devices.constEnd() ? std::nullopt : it->muted;
}

Status FakeAudioOutput::setMuted(const QString& device, bool muted)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(device);
    if (it == m_devices.end() || !it->muted || !it->muteSettable)
        return Status::failure(QStringLiteral("no settable mute control"));
    it->muted = muted;
    ++m_writes;
    return Status::success();
}

std::optional<float> FakeAudioOutput::volume(const QString& device)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.constFind(device);
    if (it == m_devices.constEnd() || it->channelVolumes.isEmpty())
        return std::nullopt;
    // The loudest channel, as sound servers report a multi-channel volume.
    return *std::max_element(it->channelVolumes.cbegin(), it->channelVolumes.cend());
}

Status FakeAudioOutput::setVolume(const QString& device, float volume)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(device);
    if (it == m_devices.end() || it->channelVolumes.isEmpty() || !it->volumeSettable)
        return Status::failure(QStringLiteral("no settable volume control"));
    std::fill(it->channelVolumes.begin(), it->channelVolumes.end(), std::clamp(volume, 0.0f, 1.0f));
    ++m_writes;
    return Status::success();
}

std::optional<SavedVolume> FakeAudioOutput::saveVolume(const QString& device)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.constFind(device);
    if (it == m_devices.constEnd() || it->channelVolumes.isEmpty())
        return std::nullopt;
    SavedVolume saved;
    QDataStream stream(&saved.state, QIODevice::WriteOnly);
    stream << it->channelVolumes;
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
    const auto it = m_devices.find(device);
    if (it == m_devices.end() || it->channelVolumes.size() != channels.size() || !it->volumeSettable)
        return Status::failure(QStringLiteral("volume does not fit the device"));
    it->channelVolumes = channels;
    ++m_writes;
    return Status::success();
}

void FakeAudioOutput::setDevice(const QString& id, Device device)
{
    std::lock_guard lock(m_mutex);
    m_devices.insert(id, std::move(device));
}

void FakeAudioOutput::setDefaultDevice(std::optional<QString> id)
{
    std::lock_guard lock(m_mutex);
    m_default = std::move(id);
}

std::optional<FakeAudioOutput::Device> FakeAudioOutput::device(const QString& id) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.constFind(id);
    return it == m_devices.constEnd() ? std::nullopt : std::optional<Device>(*it);
}

int FakeAudioOutput::writeCount() const
{
    std::lock_guard lock(m_mutex);
    return m_writes;
}
