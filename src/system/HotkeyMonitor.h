#pragma once

#include "model/Models.h"
#include "platform/GlobalKeySource.h"
#include "platform/HotKeyRegistrar.h"
#include "platform/KeyEvent.h"
#include "platform/LocalKeyCapture.h"
#include "system/ShortcutRecorder.h"
#include "util/Scheduler.h"
#include "util/Status.h"

#include <functional>
#include <memory>
#include <optional>

class SyntheticKeyLedger;

// Turns global keyboard activity into four requests: pre-warm the microphone, start a dictation, stop it,
// cancel it. It recognises the configured trigger (a lone side-specific modifier from modifier changes, or
// Option+Space / a recorded combination as a grabbed hot key) in tap-to-toggle or hold-to-talk, takes Escape
// as cancel, and records a new shortcut on request.
//
// One key source sees every key of the desktop, our own windows' included, so it stands for both the
// global and the local event monitors. Keys we post ourselves are dropped through the synthetic-key ledger.
//
// Main thread only. Key events arrive on the key source's thread and are handed to the main thread in order;
// each request is posted through the scheduler and runs on a later turn, never inside an event handler. The
// monitor knows nothing of sessions: the application corrects its view through syncRecordingState().
class HotkeyMonitor final {
public:
    // A left-side modifier held to talk starts only after being held alone this long, so that ordinary
    // shortcuts such as Command+C do not start a dictation.
    static constexpr Duration kHoldStartDelay = seconds(0.14);
    // Option+Space as a hot key.
    static constexpr HotKey kOptionSpaceHotKey{KeyCode::Space, CarbonModifier::Option};

    // `ledger` may be null: then no synthetic event is dropped.
    HotkeyMonitor(Scheduler& scheduler, GlobalKeySource& keySource, HotKeyRegistrar& hotKeys,
                  LocalKeyCapture& localCapture, SyntheticKeyLedger* ledger = nullptr);
    ~HotkeyMonitor(); // stop()
    HotkeyMonitor(const HotkeyMonitor&) = delete;
    HotkeyMonitor& operator=(const HotkeyMonitor&) = delete;

    // Starts listening and grabs the hot key the trigger needs; safe to call again (it begins with stop()).
    void start();
    // Stops listening, releases the hot key, ends a recording without result and clears the key state.
    void stop();
    bool isStarted() const { return m_isStarted; }

    // The application's correction of the monitor's view of whether a dictation is on. Ignored while a
    // request of the monitor has not reached the application yet: its answer to that request corrects the
    // view.
    void syncRecordingState(bool isRecording);
    // The application ended a recording by itself (a failure), while the user still thinks it runs. The
    // monitor's view stays the user's: in tap-to-toggle the next press of the trigger is the stop the user
    // meant and starts nothing, and the press after it starts as usual; a held trigger's release is its stop.
    // Ignored, like syncRecordingState(), while a request of ours is on its way (a stop already sent is
    // that press).
    void recordingEndedByItself();

    // Each assignment runs its observer, also when the value does not change.
    TriggerKeyOption triggerOption() const { return m_triggerOption; }
    void setTriggerOption(TriggerKeyOption option);
    const CustomHotkeySpec& customSpec() const { return m_customSpec; }
    void setCustomSpec(CustomHotkeySpec shortcut);
    TriggerBehavior behavior() const { return m_behavior; }
    void setBehavior(TriggerBehavior behavior);

    // Requests to the application; an unset callback is skipped.
    std::function<void()> onPrewarmMic;
    std::function<void()> onTriggerStart;
    std::function<void()> onTriggerStop;
    std::function<void()> onCancel;

    // Why keys cannot be watched (no X display, no XInput2, a Wayland session); success while listening or
    // before start().
    const Status& keySourceStatus() const { return m_keySourceStatus; }
    // The outcome of the last hot-key registration; nothing when the trigger needs no hot key or the monitor
    // is stopped. A taken combination is reported here and through onHotKeyUnavailable, never left silent.
    const std::optional<HotKeyRegistration>& hotKeyRegistration() const { return m_hotKeyRegistration; }
    // Called on the main thread, synchronously, when a registration fails; `label` names the combination
    // ("⌃ + Space").
    std::function<void(const HotKeyRegistration& registration, const QString& label)> onHotKeyUnavailable;

    // Records the next shortcut pressed in our own windows. While it runs no trigger is recognised and the
    // keystrokes are consumed. The completion runs once, on a later turn of the main thread, after recording
    // has ended; not at all when recording is cancelled. Fails (nothing started) when the keys of our windows
    // cannot be taken.
    Status beginInteractiveCapture(std::function<void(RecordedShortcutResult)> completion);
    // Ends a recording without result; harmless when none runs.
    void cancelInteractiveCapture();
    bool isCapturingShortcut() const { return m_isCapturingShortcut; }

    // The trigger rules, pure functions of a modifier-change event's key code and raw flags (family flags
    // plus device bits).
    static bool matchesSingleModifierPress(TriggerKeyOption option, std::uint16_t keyCode,
                                           std::uint64_t rawFlags);
    static bool matchesSingleModifierRelease(TriggerKeyOption option, std::uint16_t keyCode,
                                             std::uint64_t rawFlags);
    static bool hasConflictingModifiers(TriggerKeyOption option, std::uint64_t rawFlags);
    // Which lone modifier a modifier-change event is about; nothing for other keys or a key that went up.
    static std::optional<TriggerKeyOption> singleModifierOption(std::uint16_t keyCode,
                                                                std::uint64_t rawFlags);

private:
    enum class Request { prewarmMic, triggerStart, triggerStop, cancel };

    // Shared with every queued piece of work, which does nothing once the monitor is gone.
    struct Liveness {};

    void handleKeySourceEvent(const KeyEvent& event, std::uint64_t generation);
    void handleModifierEvent(const KeyEvent& event);
    void handleTapToggle(const KeyEvent& event);
    void handleHoldToTalk(const KeyEvent& event);
    void handleRegularKeyDown(const KeyEvent& event);
    void handleHotKeyEvent(HotKeyRegistrar::Action action, bool isAutoRepeat);
    void handleCaptureEvent(const KeyEvent& event, std::function<void(RecordedShortcutResult)> completion);

    void resetTransientKeyState();
    void refreshHotKeyRegistration();
    std::optional<HotKey> neededHotKey() const;
    bool isOwnHotKeyDown(const KeyEvent& event) const;
    bool isBeforeCaptureEnd(const KeyEvent& event);
    void schedulePendingHoldStart();
    void cancelPendingHoldStart() { m_pendingHoldStartWorkItem.cancel(); }
    void send(Request request);

    Scheduler& m_scheduler;
    GlobalKeySource& m_keySource;
    HotKeyRegistrar& m_hotKeys;
    LocalKeyCapture& m_localCapture;
    SyntheticKeyLedger* m_ledger;
    std::shared_ptr<Liveness> m_liveness = std::make_shared<Liveness>();

    TriggerKeyOption m_triggerOption = TriggerKeyOption::fnKey;
    CustomHotkeySpec m_customSpec;
    TriggerBehavior m_behavior = TriggerBehavior::tapToggle;

    bool m_isStarted = false;
    // Events handed over from the key source carry the generation they were sent in; a stop() or start()
    // in between turns them stale.
    std::uint64_t m_keySourceGeneration = 0;
    Status m_keySourceStatus;
    std::optional<HotKey> m_registeredHotKey;
    std::optional<HotKeyRegistration> m_hotKeyRegistration;

    bool m_isModifierPhysicallyDown = false;
    bool m_otherKeyPressedDuringHold = false;
    bool m_isRecordingToggledOn = false;
    bool m_holdDidFireStart = false;
    ScheduledWork m_pendingHoldStartWorkItem;
    bool m_swallowNextReleaseAfterInstantStop = false;
    // Requests posted and requests that reached the application; they differ while some are on their way.
    std::uint64_t m_sentRequests = 0;
    std::uint64_t m_deliveredRequests = 0;

    bool m_isCapturingShortcut = false;
    ShortcutRecorder m_recorder;
    // Display time of the last keystroke the recording consumed. The key source sees the same keystrokes
    // over another connection, possibly only after the recording has ended; those must not act as triggers.
    std::uint32_t m_lastCaptureEventTime = 0;
    std::optional<std::uint32_t> m_ignoreKeySourceThrough;
};
