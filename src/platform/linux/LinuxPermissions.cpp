#include "platform/linux/LinuxPermissions.h"

#include "platform/AudioCapture.h"
#include "util/AppIdentity.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

namespace {

AuthorizationStatus statusFromRate(std::optional<int> sourceRate)
{
    if (!sourceRate)
        return AuthorizationStatus::NotDetermined;
    return *sourceRate > 0 ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
}

} // namespace

LinuxPermissions::LinuxPermissions(AudioCapture& capture)
    : m_capture(capture), m_queue(AppIdentity::queueLabel(QStringLiteral("permissions.microphone")))
{
    // The first status comes from here, so no one waits for the sound server at start-up.
    m_queue.async([this] { (void)refreshMicrophoneStatus(); });
}

LinuxPermissions::~LinuxPermissions()
{
    m_queue.stop();
}

AuthorizationStatus LinuxPermissions::microphoneStatus()
{
    return statusFromRate(m_capture.lastSeenSourceSampleRate());
}

AuthorizationStatus LinuxPermissions::refreshMicrophoneStatus()
{
    return m_capture.defaultSourceSampleRate() ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
}

void LinuxPermissions::requestMicrophoneAccess(std::function<void(bool granted)> completion)
{
    // Nothing to grant on Linux: a fresh look at the source answers, later and on the main thread.
    m_queue.async([this, completion = std::move(completion)] {
        const bool granted = refreshMicrophoneStatus() == AuthorizationStatus::Authorized;
        if (completion)
            QMetaObject::invokeMethod(
                &m_mainThread, [completion, granted] { completion(granted); }, Qt::QueuedConnection);
    });
}

void LinuxPermissions::requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion)
{
    if (completion)
        QMetaObject::invokeMethod(
            &m_mainThread,
            [completion = std::move(completion)] { completion(AuthorizationStatus::Authorized); },
            Qt::QueuedConnection);
}

Status LinuxPermissions::openAccessibilitySettings()
{
    // Fixed argument lists only; started detached so the interface never waits for a settings window.
    struct Candidate {
        const char* program;
        QStringList arguments;
    };
    const Candidate candidates[] = {
        {"gnome-control-center", {QStringLiteral("universal-access")}},
        {"systemsettings", {QStringLiteral("kcm_access")}},
        {"xfce4-accessibility-settings", {}},
        {"mate-at-properties", {}},
    };
    for (const Candidate& candidate : candidates) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(candidate.program));
        if (!program.isEmpty() && QProcess::startDetached(program, candidate.arguments))
            return Status::success();
    }
    return Status::failure(QStringLiteral("没有找到桌面的辅助功能设置"));
}
