#pragma once

#include "platform/SystemSpeechRecognizer.h"

// Linux desktops offer no speech recogniser of their own: every locale is unavailable and no session starts.
class UnavailableSpeechRecognizer final : public SystemSpeechRecognizer {
public:
    bool isAvailable(const QString& localeIdentifier) override;
    Status startSession(const SpeechRecognitionRequest& request, ResultHandler handler) override;
    void appendAudio(std::span<const float> samples) override;
    void endAudio() override;
    void cancel() override;
};
