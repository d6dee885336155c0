#include "fakes/FakeAudioCapture.h"

#include <algorithm>

std::optional<int> FakeAudioCapture::defaultSourceSampleRate()
{
    std::lock_guard lock(m_mutex);
    return m_sourceRate;
}

Status FakeAudioCapture::start(BufferHandler handler)
{
    std::lock_guard lock(m_mutex);
    if (m_handler)
        return Status::failure(QStringLiteral("capture already running"));
    if (m_startFailure)
        return Status::failure(*m_startFailure);
    if (!m_sourceRate)
        return Status::failure(QStringLiteral("no audio source"));
    ++m_starts;
    m_handler = std::make_shared<const BufferHandler>(std::move(handler));
    m_runningRate = *m_sourceRate;
    return Status::success();
}

void FakeAudioCapture::stop()
{
    std::lock_guard lock(m_mutex);
    m_handler.reset();
    m_runningRate = 0;
}

bool FakeAudioCapture::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<bool>(m_handler);
}

int FakeAudioCapture::sampleRate() const
{
    std::lock_guard lock(m_mutex);
    return m_runningRate;
}

void FakeAudioCapture::setSourceChangedHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_sourceChangedHandler = std::move(handler);
}

void FakeAudioCapture::setSource(std::optional<int> sampleRate)
{
    std::lock_guard lock(m_mutex);
    m_sourceRate = sampleRate;
}

void FakeAudioCapture::changeSource(std::optional<int> sampleRate)
{
    std::function<void()> handler;
    {
        std::lock_guard lock(m_mutex);
        m_sourceRate = sampleRate;
        handler = m_sourceChangedHandler;
    }
    if (handler)
        handler();
}

void FakeAudioCapture::setStartFailure(std::optional<QString> reason)
{
    std::lock_guard lock(m_mutex);
    m_startFailure = std::move(reason);
}

int FakeAudioCapture::feed(const std::vector<float>& samples)
{
    int buffers = 0;
    for (std::size_t offset = 0; offset < samples.size(); offset += kFramesPerBuffer) {
        std::shared_ptr<const BufferHandler> handler;
        {
            // Looked up per buffer: a handler that stops the capture gets nothing more.
            std::lock_guard lock(m_mutex);
            handler = m_handler;
        }
        if (!handler)
            break;
        const std::size_t length = std::min<std::size_t>(kFramesPerBuffer, samples.size() - offset);
        (*handler)(std::span<const float>(samples.data() + offset, length));
        ++buffers;
    }
    return buffers;
}

int FakeAudioCapture::startCount() const
{
    std::lock_guard lock(m_mutex);
    return m_starts;
}
