#pragma once

#include "platform/SystemSpeechRecognizer.h"

#include <QSet>
#include <mutex>
#include <optional>

// A recogniser the test scripts: which locales it serves, and the results it reports. Nothing is available
// until a locale is made so ("" stands for the default locale).
class FakeSystemSpeechRecognizer final : public SystemSpeechRecognizer {
public:
    bool isAvailable(const QString& localeIdentifier) override;
    Status startSession(const SpeechRecognitionRequest& request, ResultHandler handler) override;
    void appendAudio(std::span<const float> samples) override;
    void endAudio() override;
    void cancel() override;

    void setAvailable(const QString& localeIdentifier, bool available);
    // Reports a result to the running session (on the test's thread); false when none runs.
    bool deliverResult(const QString& text, bool isFinal);

    bool isSessionActive() const;
    // The request of the latest session started.
    std::optional<SpeechRecognitionRequest> lastRequest() const;
    qsizetype appendedSampleCount() const;
    bool audioEnded() const;
    int cancelCount() const;

private:
    mutable std::mutex m_mutex;
    QSet<QString> m_availableLocales;
    ResultHandler m_handler;
    std::optional<SpeechRecognitionRequest> m_lastRequest;
    qsizetype m_appendedSamples = 0;
    bool m_audioEnded = false;
    int m_cancels = 0;
};
