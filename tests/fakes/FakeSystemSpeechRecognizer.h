#pragma once

#include "fakes/Guarded.h"
#include "platform/SystemSpeechRecognizer.h"

#include <QSet>
#include <optional>

// A recogniser the test scripts: which locales it serves, and the results it reports. Nothing is available
// until a locale is made so ("" stands for the default locale).
class FakeSystemSpeechRecognizer final : public SystemSpeechRecognizer, private Guarded {
public:
    bool isAvailable(const QString& localeIdentifier) override
    {
        return guarded(m_availableLocales).contains(localeIdentifier);
    }
    Status startSession(const SpeechRecognitionRequest& request, ResultHandler handler) override;
    void appendAudio(std::span<const float> samples) override;
    void endAudio() override { setGuarded(m_audioEnded, true); }
    void cancel() override { setGuarded(m_handler, nullptr); }

    void setAvailable(const QString& localeIdentifier, bool available);
    // Reports a result to the running session (on the test's thread); false when none runs.
    bool deliverResult(const QString& text, bool isFinal);

    bool isSessionActive() const { return guarded(m_handler) != nullptr; }
    // The request of the latest session started.
    std::optional<SpeechRecognitionRequest> lastRequest() const { return guarded(m_lastRequest); }
    qsizetype appendedSampleCount() const { return guarded(m_appendedSamples); }
    bool audioEnded() const { return guarded(m_audioEnded); }

private:
    QSet<QString> m_availableLocales;
    ResultHandler m_handler;
    std::optional<SpeechRecognitionRequest> m_lastRequest;
    qsizetype m_appendedSamples = 0;
    bool m_audioEnded = false;
};
