#include "system/HotkeyMonitor.h"

#include "system/KeyNames.h"
#include "system/SyntheticKeyLedger.h"

#include <QtDebug>
#include <array>

namespace {

constexpr std::uint64_t kShift = ModifierFlag::Shift;
constexpr std::uint64_t kControl = ModifierFlag::Control;
constexpr std::uint64_t kOption = ModifierFlag::Option;
constexpr std::uint64_t kCommand = ModifierFlag::Command;

// One row per side-specific modifier trigger; fn has no row (it is known by its flag alone).
struct ModifierRow {
    TriggerKeyOption::Value option;
    std::uint16_t keyCode;
    std::uint64_t family;
    std::uint64_t ownDeviceBit;
    std::uint64_t otherSideDeviceBit;
    std::uint64_t conflictingFamilies;
};

constexpr std::array<ModifierRow, 8> kModifierRows = {{
    {TriggerKeyOption::leftOption, KeyCode::LeftOption, kOption, ModifierFlag::DeviceLeftOption,
     ModifierFlag::DeviceRightOption, kShift | kControl | kCommand},
    {TriggerKeyOption::rightOption, KeyCode::RightOption, kOption, ModifierFlag::DeviceRightOption,
     ModifierFlag::DeviceLeftOption, kShift | kControl | kCommand},
    {TriggerKeyOption::leftCommand, KeyCode::LeftCommand, kCommand, ModifierFlag::DeviceLeftCommand,
     ModifierFlag::DeviceRightCommand, kShift | kControl | kOption},
    {TriggerKeyOption::rightCommand, KeyCode::RightCommand, kCommand, ModifierFlag::DeviceRightCommand,
     ModifierFlag::DeviceLeftCommand, kShift | kControl | kOption},
    {TriggerKeyOption::leftControl, KeyCode::LeftControl, kControl, ModifierFlag::DeviceLeftControl,
     ModifierFlag::DeviceRightControl, kShift | kOption | kCommand},
    {TriggerKeyOption::rightControl, KeyCode::RightControl, kControl, ModifierFlag::DeviceRightControl,
     ModifierFlag::DeviceLeftControl, kShift | kOption | kCommand},
    {TriggerKeyOption::leftShift, KeyCode::LeftShift, kShift, ModifierFlag::DeviceLeftShift,
     ModifierFlag::DeviceRightShift, kControl | kOption | kCommand},
    {TriggerKeyOption::rightShift, KeyCode::RightShift, kShift, ModifierFlag::DeviceRightShift,
     ModifierFlag::DeviceLeftShift, kControl | kOption | kCommand},
}};

const ModifierRow* rowFor(TriggerKeyOption option)
{
    for (const ModifierRow& row : kModifierRows) {
        if (row.option == option.value)
            return &row;
    }
    return nullptr;
}

bool isHotKeyTrigger(TriggerKeyOption option)
{
    return option == TriggerKeyOption::optionSpace || option == TriggerKeyOption::custom;
}

// Display-server times wrap; `a` is at or before `b` when the wrapped difference is not positive.
bool isAtOrBefore(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b) <= 0;
}

} // namespace

HotkeyMonitor::HotkeyMonitor(Scheduler& scheduler, GlobalKeySource& keySource, HotKeyRegistrar& hotKeys,
                             LocalKeyCapture& localCapture, SyntheticKeyLedger* ledger)
    : m_scheduler(scheduler), m_keySource(keySource), m_hotKeys(hotKeys), m_localCapture(localCapture),
      m_ledger(ledger)
{
}

HotkeyMonitor::~HotkeyMonitor()
{
    stop();
    m_liveness.reset();
}

// MARK: - Pure trigger rules

bool HotkeyMonitor::hasConflictingModifiers(TriggerKeyOption option, std::uint64_t rawFlags)
{
    if (option == TriggerKeyOption::fnKey)
        return (rawFlags & (kShift | kControl | kOption | kCommand)) != 0;
    const ModifierRow* row = rowFor(option);
    if (!row)
        return false;
    return (rawFlags & row->conflictingFamilies) != 0 || (rawFlags & row->otherSideDeviceBit) != 0;
}

bool HotkeyMonitor::matchesSingleModifierPress(TriggerKeyOption option, std::uint16_t keyCode,
                                               std::uint64_t rawFlags)
{
    if (isHotKeyTrigger(option) || hasConflictingModifiers(option, rawFlags))
        return false;
    if (option == TriggerKeyOption::fnKey) // arrow keys carry Function together with NumericPad
        return (rawFlags & ModifierFlag::Function) && !(rawFlags & ModifierFlag::NumericPad);
    const ModifierRow* row = rowFor(option);
    return row && keyCode == row->keyCode && (rawFlags & row->family);
}

bool HotkeyMonitor::matchesSingleModifierRelease(TriggerKeyOption option, std::uint16_t keyCode,
                                                 std::uint64_t rawFlags)
{
    if (isHotKeyTrigger(option))
        return false;
    if (option == TriggerKeyOption::fnKey)
        return !(rawFlags & ModifierFlag::Function);
    const ModifierRow* row = rowFor(option);
    if (!row)
        return false;
    if (!(rawFlags & row->family))
        return true;
    // This side went up while the other side stays down.
    return keyCode == row->keyCode && !(rawFlags & row->ownDeviceBit);
}

std::optional<TriggerKeyOption> HotkeyMonitor::singleModifierOption(std::uint16_t keyCode,
                                                                    std::uint64_t rawFlags)
{
    if (keyCode == KeyCode::Function || keyCode == KeyCode::FunctionGlobe) {
        if (rawFlags & ModifierFlag::Function)
            return TriggerKeyOption::fnKey;
        return std::nullopt;
    }
    for (const ModifierRow& row : kModifierRows) {
        if (row.keyCode == keyCode)
            return (rawFlags & row.family) ? std::optional<TriggerKeyOption>(row.option) : std::nullopt;
    }
    return std::nullopt;
}

// MARK: - Lifecycle

void HotkeyMonitor::start()
{
    stop();
    m_isStarted = true;

    const std::uint64_t generation = ++m_keySourceGeneration;
    // The handler runs on the key source's thread: it only consults the ledger and hands the event over.
    SyntheticKeyLedger* ledger = m_ledger;
    Scheduler* scheduler = &m_scheduler;
    std::weak_ptr<Liveness> weak = m_liveness;
    m_keySourceStatus = m_keySource.start([this, ledger, scheduler, weak, generation](const KeyEvent& event) {
        if (event.isSynthetic && ledger && ledger->consumeMatch(event))
            return; // our own keystroke coming back
        scheduler->schedule(Duration::zero(), [this, weak, event, generation] {
            if (weak.lock())
                handleKeySourceEvent(event, generation);
        });
    });
    if (!m_keySourceStatus)
        qWarning("Trigger keys cannot be watched: %s", qUtf8Printable(m_keySourceStatus.error));

    refreshHotKeyRegistration();
}

void HotkeyMonitor::stop()
{
    cancelInteractiveCapture();
    m_isStarted = false;
    ++m_keySourceGeneration;
    m_keySource.stop();
    m_keySourceStatus = Status::success();
    if (m_registeredHotKey) {
        m_hotKeys.unregisterHotKey();
        m_registeredHotKey.reset();
    }
    m_hotKeyRegistration.reset();
    m_ignoreKeySourceThrough.reset();
    resetTransientKeyState();
    m_isRecordingToggledOn = false;
}

void HotkeyMonitor::syncRecordingState(bool isRecording)
{
    // The application answers our requests on a later turn. While a newer request of ours is still on its
    // way, its view is older than the keys we have seen since (a cancel answered after the trigger was
    // pressed again would forget that key is down); it will correct us again once that request arrives.
    if (m_deliveredRequests != m_sentRequests)
        return;
    m_isRecordingToggledOn = isRecording;
    if (!isRecording) {
        m_isModifierPhysicallyDown = false;
        m_holdDidFireStart = false;
        cancelPendingHoldStart();
    }
}

void HotkeyMonitor::recordingEndedByItself()
{
    if (m_deliveredRequests != m_sentRequests)
        return;
    // Still "on" for the user: the press that turns it off is theirs to make.
    m_isRecordingToggledOn = true;
    cancelPendingHoldStart();
}

void HotkeyMonitor::setTriggerOption(TriggerKeyOption option)
{
    m_triggerOption = option;
    resetTransientKeyState();
    if (m_isStarted)
        refreshHotKeyRegistration();
}

void HotkeyMonitor::setCustomSpec(CustomHotkeySpec shortcut)
{
    m_customSpec = std::move(shortcut);
    if (m_isStarted && m_triggerOption == TriggerKeyOption::custom)
        refreshHotKeyRegistration();
}

void HotkeyMonitor::setBehavior(TriggerBehavior behavior)
{
    m_behavior = behavior;
    resetTransientKeyState();
}

void HotkeyMonitor::resetTransientKeyState()
{
    cancelPendingHoldStart();
    m_isModifierPhysicallyDown = false;
    m_otherKeyPressedDuringHold = false;
    m_holdDidFireStart = false;
    m_swallowNextReleaseAfterInstantStop = false;
}

// MARK: - Hot key

std::optional<HotKey> HotkeyMonitor::neededHotKey() const
{
    if (m_triggerOption == TriggerKeyOption::optionSpace)
        return kOptionSpaceHotKey;
    if (m_triggerOption == TriggerKeyOption::custom)
        return HotKey{m_customSpec.keyCode, m_customSpec.carbonModifiers};
    return std::nullopt;
}

void HotkeyMonitor::refreshHotKeyRegistration()
{
    if (m_registeredHotKey) {
        m_hotKeys.unregisterHotKey();
        m_registeredHotKey.reset();
    }
    m_hotKeyRegistration.reset();
    const std::optional<HotKey> key = neededHotKey();
    if (!key)
        return;

    std::weak_ptr<Liveness> weak = m_liveness;
    HotKeyRegistration registration =
        m_hotKeys.registerHotKey(*key, [this, weak](HotKeyRegistrar::Action action, bool isAutoRepeat) {
            if (weak.lock())
                handleHotKeyEvent(action, isAutoRepeat);
        });
    m_hotKeyRegistration = registration;
    if (registration.status) {
        m_registeredHotKey = key;
        return;
    }
    const QString label = m_triggerOption == TriggerKeyOption::custom
                              ? m_customSpec.label
                              : KeyNames::formatComboLabel(key->keyCode, key->carbonModifiers);
    qWarning("Hot key %s is not available: %s", qUtf8Printable(label),
             qUtf8Printable(registration.status.error));
    if (onHotKeyUnavailable) {
        const auto report = onHotKeyUnavailable;
        report(registration, label);
    }
}

bool HotkeyMonitor::isOwnHotKeyDown(const KeyEvent& event) const
{
    // The grab keeps the combination from other windows but not from the key source, which sees every key.
    return m_registeredHotKey && event.keyCode == m_registeredHotKey->keyCode &&
           KeyNames::carbonModifiers(event.flags) == m_registeredHotKey->carbonModifiers;
}

void HotkeyMonitor::handleHotKeyEvent(HotKeyRegistrar::Action action, bool isAutoRepeat)
{
    if (m_isCapturingShortcut || !isHotKeyTrigger(m_triggerOption))
        return;
    const bool hold = m_behavior == TriggerBehavior::holdToTalk;

    if (action == HotKeyRegistrar::Action::Released) {
        if (!hold || !m_isModifierPhysicallyDown)
            return;
        m_isModifierPhysicallyDown = false;
        if (m_holdDidFireStart) {
            m_isRecordingToggledOn = false;
            m_holdDidFireStart = false;
            send(Request::triggerStop);
        }
        return;
    }

    if (isAutoRepeat)
        return; // a held combination presses once
    if (hold) {
        if (m_isModifierPhysicallyDown)
            return;
        m_isModifierPhysicallyDown = true;
        m_isRecordingToggledOn = true;
        m_holdDidFireStart = true;
        send(Request::triggerStart);
        return;
    }
    m_isRecordingToggledOn = !m_isRecordingToggledOn;
    send(m_isRecordingToggledOn ? Request::triggerStart : Request::triggerStop);
}

// MARK: - Key events

void HotkeyMonitor::handleKeySourceEvent(const KeyEvent& event, std::uint64_t generation)
{
    if (generation != m_keySourceGeneration || isBeforeCaptureEnd(event))
        return;
    switch (event.kind) {
    case KeyEvent::Kind::FlagsChanged:
        handleModifierEvent(event);
        break;
    case KeyEvent::Kind::KeyDown:
        handleRegularKeyDown(event);
        break;
    case KeyEvent::Kind::KeyUp:
        break;
    }
}

bool HotkeyMonitor::isBeforeCaptureEnd(const KeyEvent& event)
{
    if (!m_ignoreKeySourceThrough || event.time == 0)
        return false;
    if (isAtOrBefore(event.time, *m_ignoreKeySourceThrough))
        return true;
    m_ignoreKeySourceThrough.reset(); // the key source has caught up
    return false;
}

void HotkeyMonitor::handleModifierEvent(const KeyEvent& event)
{
    if (m_isCapturingShortcut || isHotKeyTrigger(m_triggerOption))
        return;
    if (m_behavior == TriggerBehavior::holdToTalk)
        handleHoldToTalk(event);
    else
        handleTapToggle(event);
}

void HotkeyMonitor::handleTapToggle(const KeyEvent& event)
{
    const TriggerKeyOption option = m_triggerOption;
    const std::uint16_t keyCode = event.keyCode;
    const std::uint64_t flags = event.flags;

    if (m_swallowNextReleaseAfterInstantStop) {
        if (matchesSingleModifierRelease(option, keyCode, flags)) {
            m_swallowNextReleaseAfterInstantStop = false;
            m_isModifierPhysicallyDown = false;
        }
        return;
    }

    if (m_isModifierPhysicallyDown) {
        if (hasConflictingModifiers(option, flags))
            m_otherKeyPressedDuringHold = true;
        if (!matchesSingleModifierRelease(option, keyCode, flags))
            return;
        m_isModifierPhysicallyDown = false;
        if (m_otherKeyPressedDuringHold || m_isRecordingToggledOn)
            return;
        m_isRecordingToggledOn = true;
        send(Request::triggerStart);
        return;
    }

    if (!matchesSingleModifierPress(option, keyCode, flags))
        return;
    m_isModifierPhysicallyDown = true;
    m_otherKeyPressedDuringHold = false;
    if (m_isRecordingToggledOn) {
        // A second press stops at once; its release is swallowed.
        m_isRecordingToggledOn = false;
        m_swallowNextReleaseAfterInstantStop = true;
        send(Request::triggerStop);
    } else {
        // The microphone warms while the key is down; the start waits for a clean release.
        send(Request::prewarmMic);
    }
}

void HotkeyMonitor::handleHoldToTalk(const KeyEvent& event)
{
    const TriggerKeyOption option = m_triggerOption;
    const std::uint16_t keyCode = event.keyCode;
    const std::uint64_t flags = event.flags;

    if (m_isModifierPhysicallyDown) {
        if (hasConflictingModifiers(option, flags)) {
            m_otherKeyPressedDuringHold = true;
            cancelPendingHoldStart();
            if (m_holdDidFireStart) {
                m_isRecordingToggledOn = false;
                m_holdDidFireStart = false;
                send(Request::cancel);
            }
        }
        if (matchesSingleModifierRelease(option, keyCode, flags)) {
            cancelPendingHoldStart();
            m_isModifierPhysicallyDown = false;
            if (m_holdDidFireStart && !m_otherKeyPressedDuringHold) {
                m_isRecordingToggledOn = false;
                m_holdDidFireStart = false;
                send(Request::triggerStop);
            } else {
                m_holdDidFireStart = false;
            }
        }
        return;
    }

    if (!matchesSingleModifierPress(option, keyCode, flags))
        return;
    m_isModifierPhysicallyDown = true;
    m_otherKeyPressedDuringHold = false;
    m_holdDidFireStart = false;
    cancelPendingHoldStart();
    if (option.isComboProneLeftModifier()) {
        send(Request::prewarmMic);
        schedulePendingHoldStart();
    } else {
        m_isRecordingToggledOn = true;
        m_holdDidFireStart = true;
        send(Request::triggerStart);
    }
}

void HotkeyMonitor::schedulePendingHoldStart()
{
    std::weak_ptr<Liveness> weak = m_liveness;
    const TimerId id = m_scheduler.schedule(kHoldStartDelay, [this, weak] {
        if (!weak.lock())
            return;
        m_pendingHoldStartWorkItem = ScheduledWork();
        if (!m_isModifierPhysicallyDown || m_otherKeyPressedDuringHold)
            return;
        m_isRecordingToggledOn = true;
        m_holdDidFireStart = true;
        if (onTriggerStart) {
            const auto start = onTriggerStart;
            start();
        }
    });
    m_pendingHoldStartWorkItem = ScheduledWork(&m_scheduler, id);
}

void HotkeyMonitor::handleRegularKeyDown(const KeyEvent& event)
{
    if (m_isCapturingShortcut || isOwnHotKeyDown(event))
        return;

    if (m_isModifierPhysicallyDown) {
        m_otherKeyPressedDuringHold = true;
        if (m_behavior == TriggerBehavior::holdToTalk) {
            cancelPendingHoldStart();
            if (m_holdDidFireStart) {
                m_isRecordingToggledOn = false;
                m_holdDidFireStart = false;
                send(Request::cancel);
            }
            return;
        }
    }

    // Escape is known by its key code alone, whatever modifiers are held.
    if (event.keyCode == KeyCode::Escape && m_isRecordingToggledOn) {
        m_isRecordingToggledOn = false;
        m_holdDidFireStart = false;
        m_swallowNextReleaseAfterInstantStop = false;
        send(Request::cancel);
    }
}

void HotkeyMonitor::send(Request request)
{
    // Never from inside an event handler: the request runs on a later turn, in event order.
    std::weak_ptr<Liveness> weak = m_liveness;
    ++m_sentRequests;
    m_scheduler.schedule(Duration::zero(), [this, weak, request] {
        if (!weak.lock())
            return;
        ++m_deliveredRequests;
        std::function<void()> callback;
        switch (request) {
        case Request::prewarmMic:
            callback = onPrewarmMic;
            break;
        case Request::triggerStart:
            callback = onTriggerStart;
            break;
        case Request::triggerStop:
            callback = onTriggerStop;
            break;
        case Request::cancel:
            callback = onCancel;
            break;
        }
        if (callback)
            callback();
    });
}

// MARK: - Shortcut recording

Status HotkeyMonitor::beginInteractiveCapture(std::function<void(RecordedShortcutResult)> completion)
{
    cancelInteractiveCapture();
    m_isCapturingShortcut = true;
    m_recorder.reset();
    m_lastCaptureEventTime = 0;

    std::weak_ptr<Liveness> weak = m_liveness;
    Status status = m_localCapture.begin([this, weak, completion](const KeyEvent& event) {
        if (weak.lock() && m_isCapturingShortcut)
            handleCaptureEvent(event,
                               completion); // a copy: finishing ends the capture and drops this handler
    });
    if (!status)
        m_isCapturingShortcut = false; // nothing runs: trigger handling stays live
    return status;
}

void HotkeyMonitor::handleCaptureEvent(const KeyEvent& event,
                                       std::function<void(RecordedShortcutResult)> completion)
{
    if (event.time != 0)
        m_lastCaptureEventTime = event.time;
    std::optional<RecordedShortcutResult> result = m_recorder.handle(event);
    if (!result)
        return;
    // Tear recording down first, so trigger handling is live again before anyone sees the result.
    cancelInteractiveCapture();
    m_scheduler.schedule(Duration::zero(), [completion = std::move(completion), result = std::move(*result)] {
        if (completion)
            completion(result);
    });
}

void HotkeyMonitor::cancelInteractiveCapture()
{
    const bool wasCapturing = m_isCapturingShortcut;
    m_isCapturingShortcut = false;
    if (wasCapturing) {
        m_localCapture.end();
        if (m_lastCaptureEventTime != 0)
            m_ignoreKeySourceThrough = m_lastCaptureEventTime;
    }
    m_recorder.reset();
}
