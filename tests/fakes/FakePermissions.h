#pragma once

#include "platform/Permissions.h"

#include <atomic>

// A microphone and a speech-recognition permission the test sets (speech starts undetermined; the desktop's
// backend always grants it). No test answers a permission request, so none ever completes, and the
// accessibility settings always open.
class FakePermissions final : public Permissions {
public:
    AuthorizationStatus microphoneStatus() override { return m_microphone; }
    AuthorizationStatus refreshMicrophoneStatus() override
    {
        if (onRefresh)
            onRefresh();
        return microphoneStatus();
    }
    void requestMicrophoneAccess(std::function<void(bool granted)>) override {}
    AuthorizationStatus speechRecognitionStatus() override { return m_speech; }
    void requestSpeechRecognition(std::function<void(AuthorizationStatus)>) override {}
    Status openAccessibilitySettings() override { return Status::success(); }

    void setMicrophoneStatus(AuthorizationStatus status) { m_microphone = status; }
    void setSpeechRecognitionStatus(AuthorizationStatus status) { m_speech = status; }
    // Runs at each look at the desktop (off the main thread); set it before the look can start.
    std::function<void()> onRefresh;

private:
    // Read by the status query, which may come from another thread.
    std::atomic<AuthorizationStatus> m_microphone = AuthorizationStatus::NotDetermined;
    std::atomic<AuthorizationStatus> m_speech = AuthorizationStatus::NotDetermined;
};
