#include "fakes/FakeSystemSpeechRecognizer.h"

bool FakeSystemSpeechRecognizer::isAvailable(const QString& localeIdentifier)
{
    std::lock_guard lock(m_mutex);
    return m_availableLocales.contains(localeIdentifier);
}

Status FakeSystemSpeechRecognizer::startSession(const SpeechRecognitionRequest& request,
                                                ResultHandler handler)
{
    std::lock_guard lock(m_mutex);
    if (!m_availableLocales.contains(request.localeIdentifier))
        return Status::failure(QStringLiteral("no recognizer for this locale"));
    m_handler = std::move(handler);
    m_lastRequest = request;
    m_appendedSamples = 0;
    m_audioEnded = false;
    return Status::success();
}

void FakeSystemSpeechRecognizer::appendAudio(std::span<const float> samples)
{
    std::lock_guard lock(m_mutex);
    if (m_handler && !m_audioEnded)
        m_appendedSamples += static_cast<qsizetype>(samples.size());
}

void FakeSystemSpeechRecognizer::endAudio()
{
    std::lock_guard lock(m_mutex);
    m_audioEnded = true;
}

void FakeSystemSpeechRecognizer::cancel()
{
    std::lock_guard lock(m_mutex);
    ++m_cancels;
    m_handler = nullptr;
}

void FakeSystemSpeechRecognizer::setAvailable(const QString& localeIdentifier, bool available)
{
    std::lock_guard lock(m_mutex);
    if (available)
        m_availableLocales.insert(localeIdentifier);
    else
        m_availableLocales.remove(localeIdentifier);
}

bool FakeSystemSpeechRecognizer::deliverResult(const QString& text, bool isFinal)
{
    ResultHandler handler;
    {
        std::lock_guard lock(m_mutex);
        handler = m_handler;
    }
    if (!handler)
        return false;
    handler(text, isFinal);
    return true;
}

bool FakeSystemSpeechRecognizer::isSessionActive() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<bool>(m_handler);
}

std::optional<SpeechRecognitionRequest> FakeSystemSpeechRecognizer::lastRequest() const
{
    std::lock_guard lock(m_mutex);
    return m_lastRequest;
}

qsizetype FakeSystemSpeechRecognizer::appendedSampleCount() const
{
    std::lock_guard lock(m_mutex);
    return m_appendedSamples;
}

bool FakeSystemSpeechRecognizer::audioEnded() const
{
    std::lock_guard lock(m_mutex);
    return m_audioEnded;
}

int FakeSystemSpeechRecognizer::cancelCount() const
{
    std::lock_guard lock(m_mutex);
    return m_cancels;
}
