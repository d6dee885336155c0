#include "system/HotkeyMonitor.h"

#include "fakes/FakeGlobalKeySource.h"
#include "fakes/FakeHotKeyRegistrar.h"
#include "fakes/FakeLocalKeyCapture.h"
#include "support/VirtualScheduler.h"

#include <gtest/gtest.h>

using namespace ModifierFlag;

namespace {

constexpr std::uint64_t kLeftOption = Option | DeviceLeftOption;
constexpr std::uint64_t kLeftShift = Shift | DeviceLeftShift;
constexpr std::uint64_t kLeftCommand = Command | DeviceLeftCommand;
constexpr std::uint64_t kRightCommand = Command | DeviceRightCommand;
constexpr std::uint64_t kLeftControl = Control | DeviceLeftControl;

KeyEvent mods(std::uint16_t keyCode, std::uint64_t flags)
{
    return {KeyEvent::Kind::FlagsChanged, keyCode, flags};
}
KeyEvent key(std::uint16_t keyCode, std::uint64_t flags = 0)
{
    return {KeyEvent::Kind::KeyDown, keyCode, flags};
}
RecordedShortcutResult custom(std::uint16_t keyCode, std::uint32_t mask, const char* label)
{
    return RecordedShortcutResult::custom({keyCode, mask, QString::fromUtf8(label)});
}
RecordedShortcutResult preset(TriggerKeyOption option)
{
    return RecordedShortcutResult::preset(option);
}

struct RecordingCase {
    const char* name;
    std::vector<KeyEvent> keys;
    std::optional<RecordedShortcutResult> expected; // nothing: recording still runs
};

class ShortcutRecorderTest : public ::testing::Test {
protected:
    // Records `keys` in a fresh recording; the result once the main thread has caught up.
    std::optional<RecordedShortcutResult> record(const std::vector<KeyEvent>& keys)
    {
        std::vector<RecordedShortcutResult> results;
        bool overWhenDelivered = false;
        EXPECT_TRUE(monitor.beginInteractiveCapture([&](RecordedShortcutResult result) {
            results.push_back(result);
            overWhenDelivered = !monitor.isCapturingShortcut() && !capture.isActive();
        }));
        for (const KeyEvent& event : keys)
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
    HotkeyMonitor monitor{scheduler, keys, hotKeys, capture};
};

} // namespace

TEST_F(ShortcutRecorderTest, RecordsPresetsCombinationsAndCancel)
{
    const RecordingCase cases[] = {
        {"Escape alone cancels", {key(KeyCode::Escape)}, RecordedShortcutResult::cancelled()},
        {"Command+Escape is a combination",
         {mods(KeyCode::LeftCommand, kLeftCommand), key(KeyCode::Escape, kLeftCommand)},
         custom(KeyCode::Escape, 0x0100, "⌘ + Key53")},
        {"Option+Space is the preset (Caps Lock does not count)",
         {mods(KeyCode::LeftOption, kLeftOption), key(KeyCode::Space, kLeftOption | CapsLock)},
         preset(TriggerKeyOption::optionSpace)},
        {"Option+Shift+Space",
         {key(KeyCode::Space, kLeftOption | kLeftShift)},
         custom(49, 0x0A00, "⌥ + ⇧ + Space")},
        {"Control+Space is the default custom shortcut; Function does not count",
         {key(KeyCode::Space, kLeftControl | Function)},
         RecordedShortcutResult::custom(CustomHotkeySpec::defaults())},
        {"Command then Shift",
         {mods(KeyCode::LeftCommand, kLeftCommand), mods(KeyCode::LeftShift, kLeftCommand | kLeftShift),
          key(40, kLeftCommand | kLeftShift)},
         custom(40, 0x0300, "⇧ + ⌘ + K")},
        {"Shift then Command",
         {mods(KeyCode::LeftShift, kLeftShift), mods(KeyCode::LeftCommand, kLeftCommand | kLeftShift),
          key(40, kLeftCommand | kLeftShift)},
         custom(40, 0x0300, "⇧ + ⌘ + K")},
        {"plain keys are consumed and recording goes on, F5 alone counts",
         {key(KeyCode::A), key(KeyCode::Return), key(96, Function)},
         custom(96, 0, "F5")},
        {"a lone right Command",
         {mods(54, kRightCommand), mods(54, 0)},
         preset(TriggerKeyOption::rightCommand)},
        {"fn under its own code", {mods(63, Function), mods(63, 0)}, preset(TriggerKeyOption::fnKey)},
        {"fn under the globe code", {mods(179, Function), mods(179, 0)}, preset(TriggerKeyOption::fnKey)},
        {"a second modifier spoils the attempt until every modifier is up",
         {mods(56, kLeftShift), mods(58, kLeftShift | kLeftOption), mods(58, kLeftShift), mods(56, 0)},
         std::nullopt},
        {"after a spoiled attempt the next clean modifier is recorded",
         {mods(56, kLeftShift), mods(58, kLeftShift | kLeftOption), mods(58, kLeftShift), mods(56, 0),
          mods(58, kLeftOption), mods(58, 0)},
         preset(TriggerKeyOption::leftOption)},
        {"after a plain letter the first lone modifier only returns to clean",
         {key(KeyCode::A), mods(56, kLeftShift), mods(56, 0)},
         std::nullopt},
        {"and the second is recorded",
         {key(KeyCode::A), mods(56, kLeftShift), mods(56, 0), mods(56, kLeftShift), mods(56, 0)},
         preset(TriggerKeyOption::leftShift)},
    };
    for (const RecordingCase& c : cases) {
        EXPECT_EQ(record(c.keys), c.expected) << c.name;
        EXPECT_EQ(monitor.isCapturingShortcut(), !c.expected.has_value()) << c.name;
    }
}

TEST_F(ShortcutRecorderTest, CancellingNeverDeliversAndTriggersComeBack)
{
    monitor.setTriggerOption(TriggerKeyOption::optionSpace);
    monitor.start();
    bool started = false;
    monitor.onTriggerStart = [&started] { started = true; };

    // Beginning again replaces the earlier recording without calling its completion; no trigger meanwhile.
    bool firstCalled = false;
    ASSERT_TRUE(
        monitor.beginInteractiveCapture([&firstCalled](RecordedShortcutResult) { firstCalled = true; }));
    ASSERT_TRUE(hotKeys.press());
    ASSERT_TRUE(hotKeys.release());
    EXPECT_EQ(record({key(KeyCode::Escape)}), RecordedShortcutResult::cancelled());
    EXPECT_FALSE(firstCalled);
    EXPECT_FALSE(started) << "no trigger while recording";

    ASSERT_TRUE(
        monitor.beginInteractiveCapture([&firstCalled](RecordedShortcutResult) { firstCalled = true; }));
    monitor.cancelInteractiveCapture();
    monitor.cancelInteractiveCapture();
    EXPECT_FALSE(capture.deliver(key(KeyCode::Escape))) << "keys pass again";
    ASSERT_TRUE(
        monitor.beginInteractiveCapture([&firstCalled](RecordedShortcutResult) { firstCalled = true; }));
    monitor.stop();
    monitor.start();
    EXPECT_FALSE(capture.isActive()) << "stop() ends a recording";
    scheduler.runDue();
    EXPECT_FALSE(firstCalled);

    ASSERT_TRUE(hotKeys.press());
    scheduler.runDue();
    EXPECT_TRUE(started);

    // A capture that cannot begin leaves trigger handling live.
    capture.setBeginFailure(QStringLiteral("no window"));
    EXPECT_FALSE(monitor.beginInteractiveCapture([](RecordedShortcutResult) {}));
    EXPECT_FALSE(monitor.isCapturingShortcut());
}

TEST_F(ShortcutRecorderTest, KeysOfTheRecordingReachingTheKeySourceLateAreNoTrigger)
{
    QStringList requests;
    monitor.onPrewarmMic = [&requests] { requests << QStringLiteral("prewarm"); };
    monitor.onTriggerStart = [&requests] { requests << QStringLiteral("start"); };
    monitor.setTriggerOption(TriggerKeyOption::rightCommand);
    monitor.start();
    KeyEvent press = mods(KeyCode::RightCommand, kRightCommand);
    KeyEvent release = mods(KeyCode::RightCommand, 0);
    press.time = 1000;
    release.time = 1090;
    EXPECT_EQ(record({press, release}), preset(TriggerKeyOption::rightCommand));

    // The same keystrokes come in over the key source's own connection only now.
    keys.deliver(press);
    keys.deliver(release);
    scheduler.runDue();
    EXPECT_TRUE(requests.isEmpty());

    press.time = 2000;
    release.time = 2100;
    keys.deliver(press);
    keys.deliver(release);
    scheduler.runDue();
    EXPECT_EQ(requests, (QStringList{QStringLiteral("prewarm"), QStringLiteral("start")}));
}
