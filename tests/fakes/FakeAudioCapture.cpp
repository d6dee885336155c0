#include "fakes/FakeAudioCapture.h"

#include <algorithm>

Status FakeAudioCapture::start(BufferHandler handler)
{
    std::lock_guard lock(m_mutex);
    if (m_handler)
        return Status::failure(QStringLiteral("capture already running"));
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

int FakeAudioCapture::feed(const std::vector<float>& samples)
{
    int buffers = 0;
    for (std::size_t offset = 0; offset < samples.size(); offset += kFramesPerBuffer) {
        // Looked up per buffer: a handler that stops the capture gets nothing more.
        const std::shared_ptr<const BufferHandler> handler = guarded(m_handler);
        if (!handler)
            break;
        const std::size_t length = std::min<std::size_t>(kFramesPerBuffer, samples.size() - offset);
        (*handler)(std::span<const float>(samples.data() + offset, length));
        ++buffers;
    }
    return buffers;
}
