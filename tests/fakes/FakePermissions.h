#pragma once

#include "platform/Permissions.h"

#include <QList>
#include <atomic>
#include <optional>

// Permission answers the test gives. Requests wait until the test answers them, so a completion never runs
// inside the request, as the contract says.
class FakePermissions final : public Permissions {
public:
    AuthorizationStatus microphoneStatus() override { return m_microphone; }
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
    AuthorizationStatus speechRecognitionStatus() override { return m_speech; }
    void requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion) override;
    Status openAccessibilitySettings() override;

    void setMicrophoneStatus(AuthorizationStatus status) { m_microphone = status; }
    void setSpeechRecognitionStatus(AuthorizationStatus status) { m_speech = status; }
    void setOpenSettingsFailure(std::optional<QString> reason) { m_openSettingsFailure = std::move(reason); }

    // Settles the status and runs every pending completion of that kind, in request order.
    void answerMicrophoneRequests(bool granted);
    void answerSpeechRequests(AuthorizationStatus status);

    int pendingMicrophoneRequests() const { return static_cast<int>(m_microphoneRequests.size()); }
    int pendingSpeechRequests() const { return static_cast<int>(m_speechRequests.size()); }
    int openSettingsCount() const { return m_openSettings; }

private:
    // Read by the status queries, which may come from another thread.
    std::atomic<AuthorizationStatus> m_microphone = AuthorizationStatus::NotDetermined;
    std::atomic<AuthorizationStatus> m_speech = AuthorizationStatus::NotDetermined;
    QList<std::function<void(bool)>> m_microphoneRequests;
    QList<std::function<void(AuthorizationStatus)>> m_speechRequests;
    std::optional<QString> m_openSettingsFailure;
    int m_openSettings = 0;
};
