#include "system/HotkeyMonitor.h"
#include "system/SyntheticKeyLedger.h"

#include "fakes/FakeGlobalKeySource.h"
#include "fakes/FakeHotKeyRegistrar.h"
#include "fakes/FakeInputSynth.h"
#include "fakes/FakeLocalKeyCapture.h"
#include "support/VirtualScheduler.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <utility>

using namespace ModifierFlag;
using T = TriggerKeyOption;

void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

// Raw flag words as the key source reports them: the family flag plus the side's device bit.
constexpr std::uint64_t kLOpt = Option | DeviceLeftOption;
constexpr std::uint64_t kROpt = Option | DeviceRightOption;
constexpr std::uint64_t kLCmd = Command | DeviceLeftCommand;
constexpr std::uint64_t kRCmd = Command | DeviceRightCommand;
constexpr std::uint64_t kLCtl = Control | DeviceLeftControl;
constexpr std::uint64_t kRCtl = Control | DeviceRightControl;
constexpr std::uint64_t kLSft = Shift | DeviceLeftShift;
constexpr std::uint16_t kKeyC = 8;

// A modifier change, a key press.
KeyEvent F(std::uint16_t keyCode, std::uint64_t rawFlags)
{
    return {KeyEvent::Kind::FlagsChanged, keyCode, rawFlags};
}
KeyEvent K(std::uint16_t keyCode, std::uint64_t rawFlags = 0)
{
    return {KeyEvent::Kind::KeyDown, keyCode, rawFlags};
}

// "prewarm start" -> the list of requests.
QStringList R(const char* names)
{
    return QString::fromLatin1(names).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

class HotkeyMonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        monitor.onPrewarmMic = [this] { requests << QStringLiteral("prewarm"); };
        monitor.onTriggerStart = [this] { requests << QStringLiteral("start"); };
        monitor.onTriggerStop = [this] { requests << QStringLiteral("stop"); };
        monitor.onCancel = [this] { requests << QStringLiteral("cancel"); };
    }

    void start(TriggerKeyOption option, TriggerBehavior behavior = TriggerBehavior::tapToggle)
    {
        monitor.setTriggerOption(option);
        monitor.setBehavior(behavior);
        monitor.start();
    }

    // Each step delivers one event, lets the main thread catch up and returns the requests it sent.
    QStringList mod(std::uint16_t keyCode, std::uint64_t flags) { return deliver(F(keyCode, flags)); }
    QStringList key(std::uint16_t keyCode, std::uint64_t flags = 0) { return deliver(K(keyCode, flags)); }
    QStringList deliver(const KeyEvent& event)
    {
        EXPECT_TRUE(keys.deliver(event));
        return take();
    }
    QStringList hotPress(bool isAutoRepeat = false)
    {
        EXPECT_TRUE(hotKeys.press(isAutoRepeat));
        return take();
    }
    QStringList hotRelease()
    {
        EXPECT_TRUE(hotKeys.release());
        return take();
    }
    QStringList advance(Duration by)
    {
        scheduler.advance(by);
        return take();
    }
    QStringList take()
    {
        scheduler.runDue();
        return std::exchange(requests, {});
    }

    // Records `events` in a fresh recording; the result once the main thread has caught up.
    std::optional<RecordedShortcutResult> record(const std::vector<KeyEvent>& events)
    {
        std::vector<RecordedShortcutResult> results;
        bool overWhenDelivered = false;
        EXPECT_TRUE(monitor.beginInteractiveCapture([&](RecordedShortcutResult result) {
            results.push_back(result);
            overWhenDelivered = !monitor.isCapturingShortcut() && !capture.isActive();
        }));
        for (const KeyEvent& event : events)
            capture.deliver(event);
        scheduler.runDue();
        EXPECT_LE(results.size(), 1u);
        if (results.empty())
            return std::nullopt;
        EXPECT_TRUE(overWhenDelivered) << "recording is torn down before the result is seen";
        return results.front();
    }

    VirtualScheduler scheduler;
    FakeGlobalKeySource keys;
    FakeHotKeyRegistrar hotKeys;
    FakeLocalKeyCapture capture;
    SyntheticKeyLedger ledger{scheduler.clock()};
    HotkeyMonitor monitor{scheduler, keys, hotKeys, capture, &ledger};
    QStringList requests;
};

} // namespace

TEST(HotkeyMonitorRules, SingleModifierMatching)
{
    // What the key flows below do not reach: the trigger's other side, a custom trigger, a release that
    // leaves the other side down, and Caps Lock, which never conflicts.
    EXPECT_FALSE(HotkeyMonitor::matchesSingleModifierPress(T::rightOption, 58, kLOpt));
    EXPECT_FALSE(HotkeyMonitor::matchesSingleModifierPress(T::custom, 59, kLCtl));
    EXPECT_TRUE(HotkeyMonitor::matchesSingleModifierRelease(T::leftControl, 59, kRCtl));
    EXPECT_FALSE(HotkeyMonitor::matchesSingleModifierRelease(T::leftControl, 62, kLCtl));
    EXPECT_TRUE(HotkeyMonitor::matchesSingleModifierRelease(T::fnKey, 63, Shift));
    EXPECT_FALSE(HotkeyMonitor::hasConflictingModifiers(T::leftShift, kLSft | CapsLock));
    EXPECT_TRUE(HotkeyMonitor::hasConflictingModifiers(T::leftShift, kLSft | DeviceRightShift));
    EXPECT_FALSE(HotkeyMonitor::hasConflictingModifiers(T::custom, ~std::uint64_t{0}));
    EXPECT_EQ(HotkeyMonitor::singleModifierOption(KeyCode::CapsLock, CapsLock), std::nullopt);
}

TEST_F(HotkeyMonitorTest, TapToggle)
{
    start(T::rightOption);
    EXPECT_EQ(mod(61, kROpt), R("prewarm"));
    EXPECT_EQ(mod(61, 0), R("start")) << "a clean release starts";
    EXPECT_EQ(mod(61, kROpt), R("stop")) << "the second press stops at once";
    EXPECT_EQ(mod(56, kROpt | kLSft), R(""));
    EXPECT_EQ(mod(61, kLSft), R("")) << "the release after an instant stop is swallowed";
    EXPECT_EQ(mod(56, 0), R(""));

    // The trigger inside a shortcut (Command+C), or joined by another modifier or its other side: no start.
    monitor.setTriggerOption(T::leftCommand);
    EXPECT_EQ(mod(55, kLCmd), R("prewarm"));
    EXPECT_EQ(key(kKeyC, kLCmd), R(""));
    EXPECT_EQ(mod(55, 0), R(""));
    monitor.setTriggerOption(T::leftOption);
    EXPECT_EQ(mod(58, kLOpt), R("prewarm"));
    EXPECT_EQ(mod(61, kLOpt | kROpt), R(""));
    EXPECT_EQ(mod(61, kLOpt), R(""));
    EXPECT_EQ(mod(58, 0), R(""));

    // fn with Shift held, and an arrow key's Function flag, are no fn press.
    monitor.setTriggerOption(T::fnKey);
    EXPECT_EQ(mod(56, kLSft), R(""));
    EXPECT_EQ(mod(63, kLSft | Function), R(""));
    EXPECT_EQ(mod(63, kLSft), R(""));
    EXPECT_EQ(mod(56, 0), R(""));
    EXPECT_EQ(mod(63, Function | NumericPad), R(""));
    EXPECT_EQ(mod(63, 0), R(""));
    EXPECT_EQ(mod(63, Function), R("prewarm"));
    EXPECT_EQ(mod(63, 0), R("start"));
}

TEST_F(HotkeyMonitorTest, HoldToTalk)
{
    start(T::leftControl, TriggerBehavior::holdToTalk);
    // A left-side trigger tapped for less than the hold delay only pre-warms.
    EXPECT_EQ(mod(59, kLCtl), R("prewarm"));
    EXPECT_EQ(advance(HotkeyMonitor::kHoldStartDelay - std::chrono::milliseconds(1)), R(""));
    EXPECT_EQ(mod(59, 0), R(""));
    EXPECT_EQ(advance(std::chrono::seconds(1)), R(""));
    // Held alone for the delay: start; released: stop.
    EXPECT_EQ(mod(59, kLCtl), R("prewarm"));
    EXPECT_EQ(advance(HotkeyMonitor::kHoldStartDelay), R("start"));
    EXPECT_EQ(mod(59, 0), R("stop"));
    // Another key after the start cancels, and the later release sends nothing.
    mod(59, kLCtl);
    advance(HotkeyMonitor::kHoldStartDelay);
    EXPECT_EQ(key(KeyCode::A, kLCtl), R("cancel"));
    EXPECT_EQ(mod(59, 0), R(""));
    // Joined by another key or modifier before the delay: the start never comes.
    mod(59, kLCtl);
    EXPECT_EQ(key(kKeyC, kLCtl), R(""));
    EXPECT_EQ(advance(std::chrono::seconds(1)), R(""));
    EXPECT_EQ(mod(59, 0), R(""));
    mod(59, kLCtl);
    EXPECT_EQ(mod(56, kLCtl | kLSft), R(""));
    EXPECT_EQ(advance(std::chrono::seconds(1)), R(""));
    mod(56, kLCtl);
    EXPECT_EQ(mod(59, 0), R(""));

    // fn and the right-side modifiers start at once, without pre-warm.
    monitor.setTriggerOption(T::rightControl);
    EXPECT_EQ(mod(62, kRCtl), R("start"));
    EXPECT_EQ(mod(62, 0), R("stop"));
    EXPECT_EQ(mod(62, kRCtl), R("start"));
    EXPECT_EQ(mod(58, kRCtl | kLOpt), R("cancel")) << "a conflicting modifier cancels";
    EXPECT_EQ(mod(62, kLOpt), R(""));
    EXPECT_EQ(mod(58, 0), R(""));
    monitor.setTriggerOption(T::fnKey);
    EXPECT_EQ(mod(63, Function), R("start"));
    EXPECT_EQ(mod(63, 0), R("stop"));
}

TEST_F(HotkeyMonitorTest, EscapeCancelsOnlyWhileRecording)
{
    start(T::rightOption);
    EXPECT_EQ(key(KeyCode::Escape), R("")) << "nothing records";
    mod(61, kROpt);
    mod(61, 0);
    EXPECT_EQ(key(KeyCode::Escape, kLSft), R("cancel")) << "Escape counts whatever modifiers are held";
    EXPECT_EQ(mod(61, kROpt), R("prewarm")) << "after the cancel the next press starts over";
    mod(61, 0);

    // Hold mode, a dictation started elsewhere (the menu): Escape cancels it.
    monitor.setBehavior(TriggerBehavior::holdToTalk);
    monitor.syncRecordingState(true);
    EXPECT_EQ(key(KeyCode::Escape), R("cancel"));
    EXPECT_EQ(key(KeyCode::Escape), R(""));
}

TEST_F(HotkeyMonitorTest, SettingsAndSyncLeaveNoStaleKeyState)
{
    start(T::rightOption);
    mod(61, kROpt);
    mod(61, 0);
    monitor.syncRecordingState(false); // the session was refused or ended
    EXPECT_EQ(mod(61, kROpt), R("prewarm")) << "the next press starts again instead of stopping";
    mod(61, 0);
    monitor.syncRecordingState(false);
    monitor.syncRecordingState(true); // a session started from the menu
    EXPECT_EQ(mod(61, kROpt), R("stop"));
    monitor.setTriggerOption(T::rightOption); // same value: the observer still resets
    EXPECT_EQ(mod(61, 0), R("")) << "no release is swallowed after the reset";
    EXPECT_EQ(mod(61, kROpt), R("prewarm"));

    // A change of settings, or syncRecordingState(false), drops a pending hold start.
    monitor.setBehavior(TriggerBehavior::holdToTalk);
    monitor.setTriggerOption(T::leftShift);
    mod(56, kLSft);
    monitor.setTriggerOption(T::leftShift);
    EXPECT_EQ(advance(std::chrono::seconds(1)), R(""));
    mod(56, 0);
    mod(56, kLSft);
    monitor.syncRecordingState(false);
    EXPECT_EQ(advance(std::chrono::seconds(1)), R(""));
}

TEST_F(HotkeyMonitorTest, AfterARecordingEndedByItselfTheNextTapIsTheStop)
{
    // Tap: the press the user meant as the stop starts nothing; the one after it starts.
    start(T::rightOption);
    mod(61, kROpt);
    EXPECT_EQ(mod(61, 0), R("start"));
    monitor.recordingEndedByItself();
    EXPECT_EQ(mod(61, kROpt), R("stop"));
    EXPECT_EQ(mod(61, 0), R(""));
    EXPECT_EQ(mod(61, kROpt), R("prewarm"));
    EXPECT_EQ(mod(61, 0), R("start"));
    mod(61, kROpt);
    mod(61, 0);

    // Escape then is the cancel the user meant: the next tap starts.
    monitor.recordingEndedByItself();
    EXPECT_EQ(key(KeyCode::Escape), R("cancel"));
    EXPECT_EQ(mod(61, kROpt), R("prewarm"));
    mod(61, 0);
    mod(61, kROpt);
    mod(61, 0);

    // The user's stop already on its way: that press was the stop, the next one starts.
    mod(61, kROpt);
    mod(61, 0);
    EXPECT_TRUE(keys.deliver({KeyEvent::Kind::FlagsChanged, 61, kROpt}));
    scheduler.schedule(Duration::zero(), [this] { monitor.recordingEndedByItself(); });
    EXPECT_TRUE(keys.deliver({KeyEvent::Kind::FlagsChanged, 61, 0}));
    EXPECT_EQ(take(), R("stop"));
    EXPECT_EQ(mod(61, kROpt), R("prewarm"));
    EXPECT_EQ(mod(61, 0), R("start"));

    // Hold: the release of the held trigger is its stop; the next hold starts.
    monitor.setBehavior(TriggerBehavior::holdToTalk);
    monitor.setTriggerOption(T::rightControl);
    EXPECT_EQ(mod(62, kRCtl), R("start"));
    monitor.recordingEndedByItself();
    EXPECT_EQ(mod(62, 0), R("stop"));
    EXPECT_EQ(mod(62, kRCtl), R("start"));
    EXPECT_EQ(mod(62, 0), R("stop"));

    // The hot key in tap mode: its next press is the stop.
    monitor.setBehavior(TriggerBehavior::tapToggle);
    monitor.setTriggerOption(T::optionSpace);
    EXPECT_EQ(hotPress(), R("start"));
    monitor.recordingEndedByItself();
    EXPECT_EQ(hotPress(), R("stop"));
    EXPECT_EQ(hotPress(), R("start"));
}

TEST_F(HotkeyMonitorTest, AnAnswerToAnOlderRequestDoesNotUndoNewerKeys)
{
    // The application answers each request on a later turn, as it does.
    monitor.onTriggerStart = [this] {
        requests << QStringLiteral("start");
        monitor.syncRecordingState(true);
    };
    monitor.onTriggerStop = [this] {
        requests << QStringLiteral("stop");
        monitor.syncRecordingState(false);
    };
    monitor.onCancel = [this] {
        requests << QStringLiteral("cancel");
        monitor.syncRecordingState(false);
    };
    auto quickly = [this](std::initializer_list<KeyEvent> events) {
        for (const KeyEvent& event : events)
            EXPECT_TRUE(keys.deliver(event));
        return take();
    };
    const KeyEvent escape{KeyEvent::Kind::KeyDown, KeyCode::Escape, 0};

    // Escape, then the trigger pressed again before the cancel has reached the application.
    start(T::rightOption);
    mod(61, kROpt);
    EXPECT_EQ(mod(61, 0), R("start"));
    EXPECT_EQ(quickly({escape, {KeyEvent::Kind::FlagsChanged, 61, kROpt}}), R("cancel prewarm"));
    EXPECT_EQ(mod(61, 0), R("start")) << "the key is still known to be down";
    EXPECT_EQ(mod(61, kROpt), R("stop"));
    mod(61, 0);

    // Hold to talk: Escape while holding, released and held again before the cancel arrives.
    monitor.setBehavior(TriggerBehavior::holdToTalk);
    monitor.setTriggerOption(T::rightControl);
    EXPECT_EQ(mod(62, kRCtl), R("start"));
    EXPECT_EQ(quickly({{KeyEvent::Kind::KeyDown, KeyCode::Escape, kRCtl},
                       {KeyEvent::Kind::FlagsChanged, 62, 0},
                       {KeyEvent::Kind::FlagsChanged, 62, kRCtl}}),
              R("cancel start"));
    EXPECT_EQ(mod(62, 0), R("stop")) << "the key is still known to be down";
}

TEST_F(HotkeyMonitorTest, OptionSpaceHotKey)
{
    start(T::optionSpace);
    ASSERT_EQ(hotKeys.registeredKey(), (HotKey{KeyCode::Space, CarbonModifier::Option}));
    ASSERT_TRUE(hotKeys.press());
    EXPECT_TRUE(requests.isEmpty()) << "never called from inside the event handler";
    EXPECT_EQ(take(), R("start"));
    EXPECT_EQ(hotPress(true), R("")) << "holding the combination does not repeat";
    // The key source sees the combination's own key-down too.
    EXPECT_EQ(key(KeyCode::Space, kLOpt), R(""));
    EXPECT_EQ(hotRelease(), R(""));
    EXPECT_EQ(hotPress(), R("stop"));
    hotRelease();
    EXPECT_EQ(mod(58, kLOpt), R("")) << "modifier events mean nothing to a hot-key trigger";
    EXPECT_EQ(mod(58, 0), R(""));

    monitor.setBehavior(TriggerBehavior::holdToTalk);
    EXPECT_EQ(hotPress(), R("start"));
    EXPECT_EQ(hotPress(true), R(""));
    EXPECT_EQ(key(KeyCode::Space, kROpt), R("")) << "the combination's own key is no other key";
    EXPECT_EQ(hotRelease(), R("stop"));
    EXPECT_EQ(hotPress(), R("start"));
    EXPECT_EQ(key(KeyCode::A, kLOpt), R("cancel"));
    EXPECT_EQ(hotRelease(), R(""));

    // Work still queued when a monitor goes away does nothing.
    auto other = std::make_unique<HotkeyMonitor>(scheduler, keys, hotKeys, capture);
    bool called = false;
    other->onTriggerStart = [&called] { called = true; };
    other->setTriggerOption(T::optionSpace);
    other->start();
    ASSERT_TRUE(hotKeys.press());
    other.reset();
    scheduler.runDue();
    EXPECT_FALSE(called);
}

TEST_F(HotkeyMonitorTest, HotKeyRegistration)
{
    start(T::rightOption);
    EXPECT_EQ(hotKeys.registeredKey(), std::nullopt);
    const int before = hotKeys.registrationCount();
    monitor.setCustomSpec({40, 0x0300, QStringLiteral("⇧ + ⌘ + K")});
    EXPECT_EQ(hotKeys.registrationCount(), before) << "not the selected trigger";
    monitor.setTriggerOption(T::custom);
    EXPECT_EQ(hotKeys.registeredKey(), (HotKey{40, 0x0300}));
    monitor.setCustomSpec({40, 0x1000, QStringLiteral("⌃ + K")});
    EXPECT_EQ(hotKeys.registeredKey(), (HotKey{40, 0x1000}));
    monitor.setTriggerOption(T::leftShift);
    EXPECT_EQ(hotKeys.registeredKey(), std::nullopt);
    monitor.stop();
    monitor.setTriggerOption(T::custom);
    EXPECT_EQ(hotKeys.registeredKey(), std::nullopt) << "a stopped monitor grabs nothing";

    // A combination another client holds is reported, not left silent.
    hotKeys.setTaken({KeyCode::Space, CarbonModifier::Control});
    QString reported;
    monitor.onHotKeyUnavailable = [&](const HotKeyRegistration& registration, const QString& label) {
        if (registration.keyTaken)
            reported = label;
    };
    monitor.setCustomSpec(CustomHotkeySpec::defaults());
    monitor.start();
    ASSERT_TRUE(monitor.hotKeyRegistration().has_value());
    EXPECT_TRUE(monitor.hotKeyRegistration()->keyTaken);
    EXPECT_EQ(reported, QStringLiteral("⌃ + Space"));
    monitor.setTriggerOption(T::optionSpace);
    EXPECT_TRUE(monitor.hotKeyRegistration()->status.ok);
}

TEST_F(HotkeyMonitorTest, SyntheticKeysAreDroppedOnlyWhenInTheLedger)
{
    start(T::leftControl);
    FakeInputSynth synth;
    synth.setPostedKeyObserver(ledger.observer());
    ledger.record(F(59, kLCtl));
    ASSERT_TRUE(synth.pressChord({KeyCode::V, Control}));
    ledger.record(F(59, 0));

    // Our own paste chord comes back: nothing happens, whatever key it is, and each entry is used once.
    const KeyEvent press{KeyEvent::Kind::FlagsChanged, 59, kLCtl, false, true};
    const KeyEvent release{KeyEvent::Kind::FlagsChanged, 59, 0, false, true};
    keys.deliver(press);
    keys.deliver({KeyEvent::Kind::KeyDown, KeyCode::V, kLCtl, false, true});
    keys.deliver({KeyEvent::Kind::KeyUp, KeyCode::V, kLCtl, false, true});
    keys.deliver(release);
    EXPECT_EQ(take(), R(""));
    EXPECT_EQ(ledger.size(), 0u);
    // The same keys again, not in the ledger: another client's synthetic keys count like real ones.
    keys.deliver(press);
    keys.deliver(release);
    EXPECT_EQ(take(), R("prewarm start"));
    // A real key that looks like a ledger entry is never swallowed.
    ledger.record(K(59, kLCtl));
    EXPECT_EQ(mod(59, kLCtl), R("stop"));
    // Entries expire.
    scheduler.advance(SyntheticKeyLedger::kEntryLifetime + std::chrono::milliseconds(1));
    EXPECT_FALSE(ledger.consumeMatch(press));
}

TEST(SyntheticKeyLedger, MatchesKeyAndDirection)
{
    VirtualScheduler scheduler;
    SyntheticKeyLedger ledger(scheduler.clock());
    auto seen = [&ledger](KeyEvent::Kind kind, std::uint16_t keyCode, std::uint64_t flags,
                          std::uint32_t native) {
        KeyEvent event{kind, keyCode, flags, false, true, native};
        return ledger.consumeMatch(event);
    };
    using K = KeyEvent::Kind;
    ledger.record({K::KeyDown, KeyCode::Unknown, 0, false, false, 250});
    EXPECT_FALSE(seen(K::KeyDown, KeyCode::Unknown, 0, 251)) << "native codes tell spare keys apart";
    EXPECT_FALSE(seen(K::KeyUp, KeyCode::Unknown, 0, 250)) << "a release is not the posted press";
    EXPECT_TRUE(seen(K::KeyDown, KeyCode::Unknown, 0, 250));

    // An injector that names neither the key nor its native code: its entry stands for any key that way.
    ledger.record({K::KeyDown, KeyCode::Unknown, 0});
    EXPECT_FALSE(seen(K::KeyUp, KeyCode::A, 0, 38));
    EXPECT_TRUE(seen(K::KeyDown, KeyCode::A, 0, 38));
    ledger.record({K::KeyDown, KeyCode::V, 0});
    EXPECT_FALSE(seen(K::KeyDown, KeyCode::A, 0, 0));

    // A modifier posted as key down/up matches the modifier change it produces, by direction.
    ledger.record({K::KeyUp, KeyCode::RightShift, 0});
    EXPECT_FALSE(seen(K::FlagsChanged, KeyCode::RightShift, Shift | DeviceRightShift, 0));
    EXPECT_TRUE(seen(K::FlagsChanged, KeyCode::RightShift, 0, 0));

    for (std::size_t i = 0; i < SyntheticKeyLedger::kCapacity + 10; ++i)
        ledger.record({K::KeyDown, KeyCode::A, 0});
    EXPECT_EQ(ledger.size(), SyntheticKeyLedger::kCapacity);
}

TEST_F(HotkeyMonitorTest, StopAndRestart)
{
    keys.setStartFailure(QStringLiteral("no display"));
    start(T::rightOption);
    EXPECT_EQ(monitor.keySourceStatus().error, QStringLiteral("no display"));
    keys.setStartFailure(std::nullopt);
    monitor.start();
    EXPECT_TRUE(monitor.keySourceStatus().ok);

    // An event handed over just before stop() is stale afterwards.
    keys.deliver(F(61, kROpt));
    monitor.stop();
    EXPECT_FALSE(keys.isRunning());
    monitor.start();
    EXPECT_EQ(take(), R(""));
    // stop() forgets that a dictation was on.
    mod(61, kROpt);
    mod(61, 0);
    monitor.stop();
    monitor.start();
    EXPECT_EQ(mod(61, kROpt), R("prewarm"));
}

// --- Recording a shortcut ---

TEST_F(HotkeyMonitorTest, RecordsPresetsCombinationsAndCancel)
{
    using Result = RecordedShortcutResult;
    const auto custom = [](std::uint16_t keyCode, std::uint32_t mask, const char* label) {
        return Result::custom({keyCode, mask, QString::fromUtf8(label)});
    };
    const struct {
        const char* name;
        std::vector<KeyEvent> keys;
        std::optional<Result> expected; // nothing: recording still runs
    } cases[] = {
        {"Escape alone cancels", {K(KeyCode::Escape)}, Result::cancelled()},
        {"Command+Escape is a combination; Escape has no name",
         {F(KeyCode::LeftCommand, kLCmd), K(KeyCode::Escape, kLCmd)},
         custom(KeyCode::Escape, 0x0100, "⌘ + Key53")},
        {"Option+Space is the preset (Caps Lock does not count)",
         {F(KeyCode::LeftOption, kLOpt), K(KeyCode::Space, kLOpt | CapsLock)},
         Result::preset(T::optionSpace)},
        {"Option+Shift+Space", {K(KeyCode::Space, kLOpt | kLSft)}, custom(49, 0x0A00, "⌥ + ⇧ + Space")},
        {"Control+Space is the default custom shortcut; Function does not count",
         {K(KeyCode::Space, kLCtl | Function)},
         Result::custom(CustomHotkeySpec::defaults())},
        {"all four modifiers in their order; the digits are not in code order",
         {K(23, kLCtl | kLOpt | kLSft | kLCmd)},
         custom(23, 0x1B00, "⌃ + ⌥ + ⇧ + ⌘ + 5")},
        {"Command then Shift",
         {F(KeyCode::LeftCommand, kLCmd), F(KeyCode::LeftShift, kLCmd | kLSft), K(40, kLCmd | kLSft)},
         custom(40, 0x0300, "⇧ + ⌘ + K")},
        {"Shift then Command",
         {F(KeyCode::LeftShift, kLSft), F(KeyCode::LeftCommand, kLCmd | kLSft), K(40, kLCmd | kLSft)},
         custom(40, 0x0300, "⇧ + ⌘ + K")},
        {"plain keys are consumed and recording goes on, F5 alone counts",
         {K(KeyCode::A), K(KeyCode::Return), K(96, Function)},
         custom(96, 0, "F5")},
        {"a lone right Command", {F(54, kRCmd), F(54, 0)}, Result::preset(T::rightCommand)},
        {"fn under its own code", {F(63, Function), F(63, 0)}, Result::preset(T::fnKey)},
        {"fn under the globe code", {F(179, Function), F(179, 0)}, Result::preset(T::fnKey)},
        {"a second modifier spoils the attempt until every modifier is up",
         {F(56, kLSft), F(58, kLSft | kLOpt), F(58, kLSft), F(56, 0)},
         std::nullopt},
        {"after a spoiled attempt the next clean modifier is recorded",
         {F(56, kLSft), F(58, kLSft | kLOpt), F(58, kLSft), F(56, 0), F(58, kLOpt), F(58, 0)},
         Result::preset(T::leftOption)},
        {"after a plain letter the first lone modifier only returns to clean",
         {K(KeyCode::A), F(56, kLSft), F(56, 0)},
         std::nullopt},
        {"and the second is recorded",
         {K(KeyCode::A), F(56, kLSft), F(56, 0), F(56, kLSft), F(56, 0)},
         Result::preset(T::leftShift)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(record(c.keys), c.expected) << c.name;
        EXPECT_EQ(monitor.isCapturingShortcut(), !c.expected.has_value()) << c.name;
    }
}

TEST_F(HotkeyMonitorTest, CancellingARecordingNeverDeliversAndTriggersComeBack)
{
    start(T::optionSpace);
    bool firstCalled = false;
    const auto first = [&firstCalled](RecordedShortcutResult) { firstCalled = true; };

    // Beginning again replaces the earlier recording without calling its completion; no trigger meanwhile.
    ASSERT_TRUE(monitor.beginInteractiveCapture(first));
    EXPECT_EQ(hotPress(), R("")) << "no trigger while recording";
    hotRelease();
    EXPECT_EQ(record({K(KeyCode::Escape)}), RecordedShortcutResult::cancelled());

    ASSERT_TRUE(monitor.beginInteractiveCapture(first));
    monitor.cancelInteractiveCapture();
    monitor.cancelInteractiveCapture();
    EXPECT_FALSE(capture.deliver(K(KeyCode::Escape))) << "keys pass again";
    ASSERT_TRUE(monitor.beginInteractiveCapture(first));
    monitor.stop();
    monitor.start();
    EXPECT_FALSE(capture.isActive()) << "stop() ends a recording";
    EXPECT_EQ(hotPress(), R("start"));
    EXPECT_FALSE(firstCalled);

    // A capture that cannot begin leaves trigger handling live.
    capture.setBeginFailure(QStringLiteral("no window"));
    EXPECT_FALSE(monitor.beginInteractiveCapture([](RecordedShortcutResult) {}));
    EXPECT_FALSE(monitor.isCapturingShortcut());
}

TEST_F(HotkeyMonitorTest, KeysOfTheRecordingReachingTheKeySourceLateAreNoTrigger)
{
    start(T::rightCommand);
    KeyEvent press = F(KeyCode::RightCommand, kRCmd);
    KeyEvent release = F(KeyCode::RightCommand, 0);
    press.time = 1000;
    release.time = 1090;
    EXPECT_EQ(record({press, release}), RecordedShortcutResult::preset(T::rightCommand));

    // The same keystrokes come in over the key source's own connection only now.
    EXPECT_EQ(deliver(press), R(""));
    EXPECT_EQ(deliver(release), R(""));
    press.time = 2000;
    release.time = 2100;
    EXPECT_EQ(deliver(press), R("prewarm"));
    EXPECT_EQ(deliver(release), R("start"));
}
