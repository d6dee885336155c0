#include "core/AppState.h"

#include "platform/Accessibility.h"
#include "platform/Permissions.h"
#include "system/HotkeyMonitor.h"
#include "system/ShortcutRecorder.h"
#include "util/QueueTask.h"

#include <QPointer>

namespace {
// The Accessibility reason when the backend names none: the switch is only off.
constexpr QStringView kAccessibilityOffReason = u"桌面的辅助功能（AT-SPI）尚未开启";
constexpr QStringView kFnKeyUnseenReason = u"X11 无法识别 Fn 键，请换一个触发键";
constexpr QStringView kHotKeyTakenReason = u"该组合键已被其他应用占用";
} // namespace

void AppState::refreshPermissionStatus()
{
    // Each flag is assigned whatever it was, so observers hear about every refresh.
    publish(m_micAuthorized, m_asrEngine->isMicrophoneAuthorized());
    publish(m_speechAuthorized, m_asrEngine->isSpeechAuthorized());
    publish(m_accessibilityGranted, m_services.accessibility->isTrusted());
    refreshAccessibilityReason();
    publish(m_senseVoiceLoaded, m_asrEngine->isUsingSenseVoice());
    publish(m_senseVoiceFullFP32, m_asrEngine->isFullPrecisionFP32());
}

QCoro::Task<> AppState::requestAllPermissions()
{
    QPointer<AppState> self(this);
    m_asrEngine->requestPermissions([self](bool microphone, bool speech) {
        if (self)
            self->applyPermissionAnswer(microphone, speech);
    });
    // Switching the accessibility bus on is a call on the session bus.
    Accessibility* accessibility = m_services.accessibility;
    const bool trusted =
        co_await runOnQueue(m_permissionQueue, [accessibility] { return accessibility->requestTrust(); });
    if (self) {
        publish(m_accessibilityGranted, trusted);
        refreshAccessibilityReason();
    }
}

void AppState::applyPermissionAnswer(bool microphone, bool speech)
{
    publish(m_micAuthorized, microphone);
    publish(m_speechAuthorized, speech);
    if (microphone && speech)
        m_asrEngine->warmUp(m_llmConfig.speechLocale);
}

QCoro::Task<> AppState::resetStaleTCCAndOpenSettings()
{
    // There is no per-application grant to reset on this desktop: the assistive-technology switch is global.
    // What remains is asking again and leading the user to the desktop's accessibility settings; the next
    // poll round publishes the trust that follows.
    publish(m_accessibilityGranted, false);
    QPointer<AppState> self(this);
    Accessibility* accessibility = m_services.accessibility;
    co_await runOnQueue(m_permissionQueue, [accessibility] { return accessibility->requestTrust(); });
    if (!self)
        co_return;
    if (const Status opened = m_services.permissions->openAccessibilitySettings(); !opened)
        setStatusBanner(QStringLiteral("❌ ") + opened.error);
}

QString AppState::activeTriggerDisplayName() const
{
    if (m_triggerKey == TriggerKeyOption::custom)
        return QStringLiteral("自定义快捷键 (") + m_customHotkey.label + QLatin1Char(')');
    return m_triggerKey.displayName();
}

QString AppState::activeTriggerCompactLabel() const
{
    if (m_triggerKey == TriggerKeyOption::custom)
        return m_customHotkey.label;
    return m_triggerKey.compactSidebarLabel();
}

void AppState::startShortcutCapture()
{
    publish(m_isRecordingShortcut, true);
    QPointer<AppState> self(this);
    const Status started = m_hotkeyMonitor->beginInteractiveCapture([self](RecordedShortcutResult result) {
        if (!self)
            return;
        // Applied on a later turn of the main loop, never inside the key handler.
        self->m_scheduler.schedule(Duration::zero(), [self, result] {
            if (self)
                self->applyRecordedShortcut(result);
        });
    });
    if (!started) { // nothing will ever answer: the triggers stay live and the page leaves its capture state
        publish(m_isRecordingShortcut, false);
        setStatusBanner(QStringLiteral("❌ ") + started.error);
    }
}

void AppState::applyRecordedShortcut(const RecordedShortcutResult& result)
{
    publish(m_isRecordingShortcut, false);
    switch (result.kind) {
    case RecordedShortcutResult::Kind::preset:
        setTriggerKey(result.option);
        setStatusBanner(QStringLiteral("✅ 全局快捷键已切换为「") + result.option.displayName() + QStringLiteral("」"));
        break;
    case RecordedShortcutResult::Kind::custom:
        // The monitor must know the new combination before it is told to use the custom trigger.
        setCustomHotkey(result.shortcut);
        setTriggerKey(TriggerKeyOption::custom);
        setStatusBanner(QStringLiteral("✅ 自定义全局快捷键已生效：「") + result.shortcut.label + QStringLiteral("」"));
        break;
    case RecordedShortcutResult::Kind::cancelled:
        break;
    }
}

void AppState::cancelShortcutCapture()
{
    m_hotkeyMonitor->cancelInteractiveCapture();
    publish(m_isRecordingShortcut, false);
}

void AppState::refreshAccessibilityReason()
{
    QString reason;
    if (!m_accessibilityGranted) {
        reason = m_services.accessibility->untrustedReason();
        if (reason.isEmpty())
            reason = kAccessibilityOffReason.toString();
    }
    if (reason != m_accessibilityReason)
        publish(m_accessibilityReason, std::move(reason));
}

void AppState::refreshTriggerKeyProblem()
{
    QString problem;
    const Status& keySource = m_hotkeyMonitor->keySourceStatus();
    const std::optional<HotKeyRegistration>& registration = m_hotkeyMonitor->hotKeyRegistration();
    if (m_triggerKey == TriggerKeyOption::fnKey)
        problem = kFnKeyUnseenReason.toString();
    else if (!keySource)
        problem = keySource.error;
    else if (registration && !registration->status)
        problem = registration->keyTaken ? kHotKeyTakenReason.toString() : registration->status.error;
    if (problem == m_triggerKeyProblem)
        return; // each cause is told once
    publish(m_triggerKeyProblem, problem);
    if (!problem.isEmpty())
        setStatusBanner(QStringLiteral("⚠️ 触发键「") + activeTriggerDisplayName() +
                        QStringLiteral("」无法使用：") + problem);
}
