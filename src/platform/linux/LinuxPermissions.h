#pragma once

#include "platform/Permissions.h"
#include "util/SerialQueue.h"

#include <QObject>

class AudioCapture;

// Permissions as a Linux desktop has them: the microphone is usable when the sound server has a source,
// speech recognition needs no grant, and accessibility is a desktop-wide switch in its settings. The
// microphone status is the capture's view of the source, which the sound server's events keep current; the
// lookups that ask the server run on a queue of their own. Created on the main thread.
class LinuxPermissions final : public Permissions {
public:
    explicit LinuxPermissions(AudioCapture& capture);
    ~LinuxPermissions() override;

    AuthorizationStatus microphoneStatus() override;
    AuthorizationStatus refreshMicrophoneStatus() override;
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
    AuthorizationStatus speechRecognitionStatus() override { return AuthorizationStatus::Authorized; }
    void requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion) override;
    Status openAccessibilitySettings() override;

private:
    AudioCapture& m_capture;
    // Answers are posted to this main-thread object, so none arrives once the permissions are gone.
    QObject m_mainThread;
    SerialQueue m_queue; // declared last: stopped before what its work touches
};
