#pragma once

#include "util/Status.h"

#include <functional>

enum class AuthorizationStatus { NotDetermined, Denied, Restricted, Authorized };

// Microphone and speech-recognition permission, and the way to the desktop's accessibility settings.
// Accessibility trust itself is asked of Accessibility. The status queries are safe from any thread; the
// requests are made on the main thread.
class Permissions {
public:
    virtual ~Permissions() = default;

    // The microphone status last seen; backends that must ask another process keep it cached, so this never
    // waits.
    virtual AuthorizationStatus microphoneStatus() = 0;
    // Asks again and returns the status now; may wait a bounded time, so never on the main thread.
    virtual AuthorizationStatus refreshMicrophoneStatus() { return microphoneStatus(); }
    // The completion runs later on the main thread, never inside this call.
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;

    virtual AuthorizationStatus speechRecognitionStatus() = 0;
    // The completion runs later on the main thread, never inside this call.
    virtual void requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion) = 0;

    // Where the user grants (or resets) assistive access.
    virtual Status openAccessibilitySettings() = 0;
};
