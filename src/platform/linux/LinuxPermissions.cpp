#include "platform/linux/LinuxPermissions.h"

#include "platform/AudioCapture.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

namespace {

// Answers on a later turn of the main loop, as the interface promises.
template <typename Completion, typename Value>
void answerLater(Completion completion, Value value)
{
    if (!completion)
        return;
    QTimer::singleShot(0, QCoreApplication::instance(), [completion = std::move(completion), value] { completion(value); });
}

} // namespace

AuthorizationStatus LinuxPermissions::microphoneStatus()
{
    return m_capture.defaultSourceSampleRate() ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
}

void LinuxPermissions::requestMicrophoneAccess(std::function<void(bool granted)> completion)
{
    answerLater(std::move(completion), microphoneStatus() == AuthorizationStatus::Authorized);
}

void LinuxPermissions::requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion)
{
    answerLater(std::move(completion), AuthorizationStatus::Authorized);
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
