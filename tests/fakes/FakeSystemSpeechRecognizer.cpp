#include "fakes/FakeSystemSpeechRecognizer.h"

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
    const ResultHandler handler = guarded(m_handler);
    if (handler)
        handler(text, isFinal);
    return handler != nullptr;
}
