#include "platform/linux/QtLocalKeyCapture.h"
#include "platform/linux/X11GlobalKeySource.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "support/VirtualScheduler.h"
#include "system/HotkeyMonitor.h"
#include "system/SyntheticKeyLedger.h"

#include <QStringList>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

#define KeyCode XKeyCode
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#undef KeyCode
#undef Status
#undef Bool
#undef None
#undef KeyPress
#undef KeyRelease

using namespace ModifierFlag;

namespace {

// Another client of the test display: it presses keys through XTest and grabs combinations, as other
// applications would.
class XDriver {
public:
    XDriver() : m_display(XOpenDisplay(nullptr)) {}
    ~XDriver()
    {
        if (!m_display)
            return;
        for (unsigned keycode : m_held)
            XTestFakeKeyEvent(m_display, keycode, 0, CurrentTime);
        XSync(m_display, 0);
        XCloseDisplay(m_display);
    }
    bool isOpen() const { return m_display != nullptr; }

    unsigned keycode(KeySym keysym) const { return XKeysymToKeycode(m_display, keysym); }
    void press(KeySym keysym) { post(keycode(keysym), true); }
    void release(KeySym keysym) { post(keycode(keysym), false); }
    void post(unsigned keycode, bool down)
    {
        XTestFakeKeyEvent(m_display, keycode, down ? 1 : 0, CurrentTime);
        XSync(m_display, 0);
        if (down)
            m_held.push_back(keycode);
        else
            std::erase(m_held, keycode);
    }
    // A fast auto-repeat keeps waits on repeats short.
    void setAutoRepeat(unsigned delayMs, unsigned intervalMs)
    {
        XAutoRepeatOn(m_display);
        XkbSetAutoRepeatRate(m_display, XkbUseCoreKbd, delayMs, intervalMs);
        XSync(m_display, 0);
    }
    void grab(KeySym keysym, unsigned modifiers)
    {
        XGrabKey(m_display, static_cast<int>(keycode(keysym)), modifiers, DefaultRootWindow(m_display), 0,
                 GrabModeAsync, GrabModeAsync);
        XSync(m_display, 0);
    }
    void ungrab(KeySym keysym, unsigned modifiers)
    {
        XUngrabKey(m_display, static_cast<int>(keycode(keysym)), modifiers, DefaultRootWindow(m_display));
        XSync(m_display, 0);
    }

private:
    Display* m_display;
    std::vector<unsigned> m_held;
};

// Passes every registration through and counts the auto-repeated presses the server sends.
class CountingRegistrar final : public HotKeyRegistrar {
public:
    HotKeyRegistration registerHotKey(HotKey key, Handler handler) override
    {
        return m_inner.registerHotKey(key, [this, handler](Action action, bool isAutoRepeat) {
            if (action == Action::Pressed && isAutoRepeat)
                ++repeats;
            handler(action, isAutoRepeat);
        });
    }
    void unregisterHotKey() override { m_inner.unregisterHotKey(); }

    int repeats = 0;

private:
    X11HotKeyRegistrar m_inner;
};

class KeysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(driver.isOpen()) << "no X display";
        driver.setAutoRepeat(660, 40);
        monitor.onPrewarmMic = [this] { requests << QStringLiteral("prewarm"); };
        monitor.onTriggerStart = [this] { requests << QStringLiteral("start"); };
        monitor.onTriggerStop = [this] { requests << QStringLiteral("stop"); };
        monitor.onCancel = [this] { requests << QStringLiteral("cancel"); };
    }

    void start(TriggerKeyOption option, TriggerBehavior behavior)
    {
        monitor.setTriggerOption(option);
        monitor.setBehavior(behavior);
        monitor.start();
        ASSERT_TRUE(monitor.keySourceStatus().ok) << qPrintable(monitor.keySourceStatus().error);
    }

    // Lets X events in and the main thread catch up until `done`, within a bound.
    template <typename Predicate> bool pumpUntil(Predicate done, int timeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [&] {
                scheduler.runDue();
                return done();
            },
            timeoutMs);
    }
    bool waitForRequests(const QStringList& expected)
    {
        pumpUntil([&] { return requests.size() >= expected.size(); });
        return requests == expected;
    }
    // Events still on their way would show up within this time; used only where nothing must happen.
    void settle()
    {
        pumpUntil([] { return false; }, 150);
    }

    QStringList take() { return std::exchange(requests, {}); }

    XDriver driver;
    VirtualScheduler scheduler;
    X11GlobalKeySource keySource;
    CountingRegistrar hotKeys;
    QtLocalKeyCapture capture;
    SyntheticKeyLedger ledger{scheduler.clock()};
    HotkeyMonitor monitor{scheduler, keySource, hotKeys, capture, &ledger};
    QStringList requests;
};

} // namespace

TEST_F(KeysTest, KeySourceTranslatesKeysOfAnotherClient)
{
    monitor.stop();
    std::mutex mutex;
    std::vector<KeyEvent> events;
    ASSERT_TRUE(keySource.start([&](const KeyEvent& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
    }));
    auto count = [&] {
        std::lock_guard lock(mutex);
        return events.size();
    };

    driver.press(XK_Shift_R);
    driver.press(XK_a);
    driver.press(XK_a); // pressed again while down: a repeat
    driver.release(XK_a);
    driver.release(XK_Shift_R);
    driver.press(XK_Left);
    driver.release(XK_Left);
    ASSERT_TRUE(pumpUntil([&] { return count() >= 7; }));
    keySource.stop();

    std::lock_guard lock(mutex);
    ASSERT_EQ(events.size(), 7u);
    for (const KeyEvent& event : events) {
        EXPECT_TRUE(event.isSynthetic) << "XTest keys come from the XTEST device";
        EXPECT_NE(event.time, 0u);
        EXPECT_NE(event.nativeCode, 0u);
    }
    const std::uint64_t rightShift = Shift | DeviceRightShift;
    EXPECT_EQ(events[0].kind, KeyEvent::Kind::FlagsChanged);
    EXPECT_EQ(events[0].keyCode, KeyCode::RightShift);
    EXPECT_EQ(events[0].flags, rightShift);
    EXPECT_EQ(events[1].kind, KeyEvent::Kind::KeyDown);
    EXPECT_EQ(events[1].keyCode, KeyCode::A);
    EXPECT_EQ(events[1].flags, rightShift);
    EXPECT_FALSE(events[1].isAutoRepeat);
    EXPECT_TRUE(events[2].isAutoRepeat);
    EXPECT_EQ(events[3].kind, KeyEvent::Kind::KeyUp);
    EXPECT_EQ(events[4].kind, KeyEvent::Kind::FlagsChanged);
    EXPECT_EQ(events[4].flags, 0u);
    EXPECT_EQ(events[5].keyCode, KeyCode::LeftArrow);
    EXPECT_EQ(events[5].flags, Function | NumericPad);
}

TEST_F(KeysTest, RightControlTapStartsAndStops)
{
    start(TriggerKeyOption::rightControl, TriggerBehavior::tapToggle);
    driver.press(XK_Control_R);
    EXPECT_TRUE(waitForRequests({QStringLiteral("prewarm")}));
    driver.release(XK_Control_R);
    EXPECT_TRUE(waitForRequests({QStringLiteral("prewarm"), QStringLiteral("start")}));
    take();
    driver.press(XK_Control_R);
    driver.release(XK_Control_R);
    settle();
    EXPECT_EQ(take(), QStringList{QStringLiteral("stop")});
}

TEST_F(KeysTest, HoldToTalk)
{
    start(TriggerKeyOption::rightControl, TriggerBehavior::holdToTalk);
    driver.press(XK_Control_R);
    EXPECT_TRUE(waitForRequests({QStringLiteral("start")}));
    driver.release(XK_Control_R);
    EXPECT_TRUE(waitForRequests({QStringLiteral("start"), QStringLiteral("stop")}));
    take();

    // A left-side trigger starts once held alone for the hold delay (virtual time here).
    monitor.setTriggerOption(TriggerKeyOption::leftControl);
    driver.press(XK_Control_L);
    EXPECT_TRUE(waitForRequests({QStringLiteral("prewarm")}));
    scheduler.advance(HotkeyMonitor::kHoldStartDelay);
    EXPECT_EQ(requests, (QStringList{QStringLiteral("prewarm"), QStringLiteral("start")}));
    driver.press(XK_v);
    EXPECT_TRUE(
        waitForRequests({QStringLiteral("prewarm"), QStringLiteral("start"), QStringLiteral("cancel")}));
    driver.release(XK_v);
    driver.release(XK_Control_L);
    settle();
    EXPECT_EQ(requests.size(), 3);
}

TEST_F(KeysTest, HeldOptionSpaceAutoRepeatDoesNothing)
{
    driver.setAutoRepeat(30, 10);
    start(TriggerKeyOption::optionSpace, TriggerBehavior::tapToggle);
    ASSERT_TRUE(monitor.hotKeyRegistration() && monitor.hotKeyRegistration()->status.ok)
        << qPrintable(monitor.hotKeyRegistration()->status.error);

    driver.press(XK_Alt_L);
    driver.press(XK_space);
    ASSERT_TRUE(pumpUntil([&] { return hotKeys.repeats >= 5; })) << "the server repeats the held key";
    driver.release(XK_space);
    driver.release(XK_Alt_L);
    settle();
    EXPECT_EQ(take(), QStringList{QStringLiteral("start")});
    driver.press(XK_Alt_L);
    driver.press(XK_space);
    driver.release(XK_space);
    driver.release(XK_Alt_L);
    EXPECT_TRUE(waitForRequests({QStringLiteral("stop")}));
    take();

    // Held to talk: one start, then the stop on release; the key's own repeats are no other key.
    monitor.setBehavior(TriggerBehavior::holdToTalk);
    hotKeys.repeats = 0;
    driver.press(XK_Alt_L);
    driver.press(XK_space);
    ASSERT_TRUE(pumpUntil([&] { return hotKeys.repeats >= 5; }));
    driver.release(XK_space);
    driver.release(XK_Alt_L);
    settle();
    EXPECT_EQ(take(), (QStringList{QStringLiteral("start"), QStringLiteral("stop")}));
}

TEST_F(KeysTest, KeysInTheLedgerAreDropped)
{
    start(TriggerKeyOption::rightControl, TriggerBehavior::tapToggle);
    const unsigned keycode = driver.keycode(XK_Control_R);
    KeyEvent posted{KeyEvent::Kind::KeyDown, KeyCode::RightControl, Control | DeviceRightControl};
    posted.nativeCode = keycode;
    ledger.record(posted);
    posted.kind = KeyEvent::Kind::KeyUp;
    posted.flags = 0;
    ledger.record(posted);

    driver.press(XK_Control_R);
    driver.release(XK_Control_R);
    ASSERT_TRUE(pumpUntil([&] { return ledger.size() == 0; })) << "both echoes consumed";
    settle();
    EXPECT_EQ(take(), QStringList{});

    driver.press(XK_Control_R);
    driver.release(XK_Control_R);
    EXPECT_TRUE(waitForRequests({QStringLiteral("prewarm"), QStringLiteral("start")}))
        << "the same keys not in the ledger count";
}

TEST_F(KeysTest, TakenHotKeyIsReported)
{
    driver.grab(XK_space, ControlMask);
    bool reported = false;
    monitor.onHotKeyUnavailable = [&](const HotKeyRegistration& registration, const QString& label) {
        reported = registration.keyTaken && label == QStringLiteral("⌃ + Space");
    };
    start(TriggerKeyOption::custom, TriggerBehavior::tapToggle);
    ASSERT_TRUE(monitor.hotKeyRegistration().has_value());
    EXPECT_TRUE(monitor.hotKeyRegistration()->keyTaken);
    EXPECT_FALSE(monitor.hotKeyRegistration()->status.error.isEmpty());
    EXPECT_TRUE(reported);

    // Once the other client lets go, the combination is ours, with Caps Lock on as well.
    driver.ungrab(XK_space, ControlMask);
    monitor.setCustomSpec(CustomHotkeySpec::defaults());
    ASSERT_TRUE(monitor.hotKeyRegistration()->status.ok)
        << qPrintable(monitor.hotKeyRegistration()->status.error);
    driver.press(XK_Caps_Lock);
    driver.release(XK_Caps_Lock);
    driver.press(XK_Control_L);
    driver.press(XK_space);
    driver.release(XK_space);
    driver.release(XK_Control_L);
    driver.press(XK_Caps_Lock);
    driver.release(XK_Caps_Lock);
    EXPECT_TRUE(waitForRequests({QStringLiteral("start")}));
}

TEST_F(KeysTest, RecordingTakesTheKeysOfOurWindow)
{
    struct KeyCounter : QWidget {
        int keys = 0;
        void keyPressEvent(QKeyEvent*) override { ++keys; }
        void keyReleaseEvent(QKeyEvent*) override { ++keys; }
    } window;
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    driver.press(XK_a);
    driver.release(XK_a);
    ASSERT_TRUE(pumpUntil([&] { return window.keys == 2; })) << "the window has the keyboard focus";
    window.keys = 0;
    start(TriggerKeyOption::rightCommand, TriggerBehavior::tapToggle);
    std::vector<RecordedShortcutResult> results;
    auto record = [&] {
        results.clear();
        ASSERT_TRUE(monitor.beginInteractiveCapture(
            [&](RecordedShortcutResult result) { results.push_back(result); }));
    };

    record();
    driver.press(XK_Control_L);
    driver.press(XK_Shift_L);
    driver.press(XK_k);
    ASSERT_TRUE(pumpUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), RecordedShortcutResult::custom({40, 0x1200, QStringLiteral("⌃ + ⇧ + K")}));
    EXPECT_EQ(window.keys, 0) << "recorded keys never reach the window";
    // The releases come after the recording has ended and pass, as any key does.
    driver.release(XK_k);
    driver.release(XK_Shift_L);
    driver.release(XK_Control_L);
    settle();

    // The trigger itself, recorded: the same keys seen by the key source start nothing.
    window.keys = 0;
    record();
    driver.press(XK_Super_R);
    driver.release(XK_Super_R);
    ASSERT_TRUE(pumpUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), RecordedShortcutResult::preset(TriggerKeyOption::rightCommand));
    settle();
    EXPECT_EQ(take(), QStringList{});
    EXPECT_EQ(window.keys, 0) << "recorded keys never reach the window";

    // Recording over, the trigger works again and keys reach the window again.
    window.keys = 0;
    driver.press(XK_Super_R);
    driver.release(XK_Super_R);
    EXPECT_TRUE(waitForRequests({QStringLiteral("prewarm"), QStringLiteral("start")}));
    driver.press(XK_a);
    driver.release(XK_a);
    EXPECT_TRUE(pumpUntil([&] { return window.keys == 4; }));
}
