#pragma once

#include "platform/Permissions.h"

class AudioCapture;

// Permissions as a Linux desktop has them: the microphone is usable when the sound server has a source,
// speech recognition needs no grant, and accessibility is a desktop-wide switch in its settings.
class LinuxPermissions final : public Permissions {
public:
    explicit LinuxPermissions(AudioCapture& capture) : m_capture(capture) {}

    AuthorizationStatus microphoneStatus() override;
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
    AuthorizationStatus speechRecognitionStatus() override { return AuthorizationStatus::Authorized; }
    void requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion) override;
    Status openAccessibilitySettings() override;

private:
    AudioCapture& m_capture;
};
