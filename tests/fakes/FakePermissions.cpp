#include "fakes/FakePermissions.h"

void FakePermissions::requestMicrophoneAccess(std::function<void(bool granted)> completion)
{
    m_microphoneRequests.append(std::move(completion));
}

void FakePermissions::requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion)
{
    m_speechRequests.append(std::move(completion));
}

Status FakePermissions::openAccessibilitySettings()
{
    if (m_openSettingsFailure)
        return Status::failure(*m_openSettingsFailure);
    ++m_openSettings;
    return Status::success();
}

void FakePermissions::answerMicrophoneRequests(bool granted)
{
    m_microphone = granted ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
    const auto pending = std::exchange(m_microphoneRequests, {});
    for (const auto& completion : pending) {
        if (completion)
            completion(granted);
    }
}

void FakePermissions::answerSpeechRequests(AuthorizationStatus status)
{
    m_speech = status;
    const auto pending = std::exchange(m_speechRequests, {});
    for (const auto& completion : pending) {
        if (completion)
            completion(status);
    }
}
