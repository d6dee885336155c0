#include "platform/linux/QtLocalKeyCapture.h"
#include "platform/linux/X11GlobalKeySource.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "support/VirtualScheduler.h"
#include "system/HotkeyMonitor.h"
#include "system/SyntheticKeyLedger.h"

#include <QKeyEvent>
#include <QStringList>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

#include "platform/linux/XlibIncludes.h"

using namespace ModifierFlag;

namespace {

// The requests in order, from space-separated words.
QStringList R(const char* words)
{
    return QString::fromLatin1(words).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

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
    // Presses the keys in order and releases them the other way round.
    void tap(std::initializer_list<KeySym> keysyms)
    {
        for (KeySym keysym : keysyms)
            press(keysym);
        for (auto it = std::rbegin(keysyms); it != std::rend(keysyms); ++it)
            release(*it);
    }
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
    void grab(KeySym keysym, unsigned modifiers, bool grabbed = true)
    {
        const int code = static_cast<int>(keycode(keysym));
        if (grabbed)
            XGrabKey(m_display, code, modifiers, DefaultRootWindow(m_display), 0, GrabModeAsync,
                     GrabModeAsync);
        else
            XUngrabKey(m_display, code, modifiers, DefaultRootWindow(m_display));
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
            if (action == Action::Released)
                ++releases;
        });
    }
    void unregisterHotKey() override { m_inner.unregisterHotKey(); }

    int repeats = 0;
    int releases = 0; // counted once the monitor has handled them

private:
    X11HotKeyRegistrar m_inner;
};

// The X key source, counting the releases of the marker key once it has handed them over. The source hands
// keys over in order, so once a marker posted after other keys is counted, those keys have reached the
// monitor too.
class MarkedKeySource final : public GlobalKeySource {
public:
    explicit MarkedKeySource(unsigned markerKeycode) : m_markerKeycode(markerKeycode) {}

    Status start(Handler handler) override
    {
        return m_inner.start([this, handler](const KeyEvent& event) {
            handler(event);
            if (event.kind == KeyEvent::Kind::KeyUp && event.nativeCode == m_markerKeycode) {
                markerTime = event.time;
                ++markers;
            }
        });
    }
    void stop() override { m_inner.stop(); }
    bool isRunning() const override { return m_inner.isRunning(); }

    std::atomic<int> markers{0};
    std::atomic<std::uint32_t> markerTime{0}; // the X server's time of the last marker, in ms

private:
    unsigned m_markerKeycode;
    X11GlobalKeySource m_inner;
};

// Pause is no trigger and no part of one: it changes nothing in the monitor.
constexpr KeySym kMarkerKey = XK_Pause;
constexpr int kWaitMs = 30000;

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
    template <typename Predicate> bool pumpUntil(Predicate done, int timeoutMs = kWaitMs)
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
    // Decides that the keys posted so far have had all their effect on the monitor: a marker key follows
    // them, and once the key source has handed it over, what the earlier keys asked for is on the virtual
    // scheduler, which runs here. Used where nothing must happen.
    void settle()
    {
        const int before = keySource.markers;
        driver.tap({kMarkerKey});
        ASSERT_TRUE(pumpUntil([&] { return keySource.markers > before; })) << "the marker key never came";
        scheduler.runDue();
    }

    QStringList take() { return std::exchange(requests, {}); }

    XDriver driver;
    VirtualScheduler scheduler;
    MarkedKeySource keySource{driver.keycode(kMarkerKey)};
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

    driver.press(XK_Shift_R);
    driver.press(XK_a);
    driver.press(XK_a); // pressed again while down: a repeat
    driver.release(XK_a);
    driver.release(XK_Shift_R);
    driver.press(XK_Left);
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(mutex);
        return events.size() >= 6;
    }));
    keySource.stop();

    using K = KeyEvent::Kind;
    const std::uint64_t rightShift = Shift | DeviceRightShift;
    const struct {
        K kind;
        std::uint16_t keyCode;
        std::uint64_t flags;
        bool isAutoRepeat;
    } expected[] = {
        {K::FlagsChanged, KeyCode::RightShift, rightShift, false},
        {K::KeyDown, KeyCode::A, rightShift, false},
        {K::KeyDown, KeyCode::A, rightShift, true},
        {K::KeyUp, KeyCode::A, rightShift, false},
        {K::FlagsChanged, KeyCode::RightShift, 0, false},
        {K::KeyDown, KeyCode::LeftArrow, Function | NumericPad, false},
    };
    std::lock_guard lock(mutex);
    ASSERT_EQ(events.size(), std::size(expected));
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].kind, expected[i].kind);
        EXPECT_EQ(events[i].keyCode, expected[i].keyCode);
        EXPECT_EQ(events[i].flags, expected[i].flags);
        EXPECT_EQ(events[i].isAutoRepeat, expected[i].isAutoRepeat);
        EXPECT_TRUE(events[i].isSynthetic) << "XTest keys come from the XTEST device";
        EXPECT_NE(events[i].nativeCode, 0u);
    }
}

TEST_F(KeysTest, TheTriggerKeyStartsAndStopsInTapAndHold)
{
    const struct {
        TriggerBehavior behavior;
        const char *afterPress, *afterRelease, *afterSecondTap;
    } cases[] = {
        {TriggerBehavior::tapToggle, "prewarm", "prewarm start", "stop"},
        {TriggerBehavior::holdToTalk, "start", "start stop", "start stop"},
    };
    start(TriggerKeyOption::rightControl, TriggerBehavior::tapToggle);
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.behavior));
        monitor.setBehavior(c.behavior);
        driver.press(XK_Control_R);
        EXPECT_TRUE(waitForRequests(R(c.afterPress))) << requests.join(u' ').toStdString();
        driver.release(XK_Control_R);
        EXPECT_TRUE(waitForRequests(R(c.afterRelease))) << requests.join(u' ').toStdString();
        take();
        driver.tap({XK_Control_R});
        settle();
        EXPECT_EQ(take(), R(c.afterSecondTap));
    }
}

TEST_F(KeysTest, HeldOptionSpaceAutoRepeatGivesOneStart)
{
    driver.setAutoRepeat(30, 10);
    start(TriggerKeyOption::optionSpace, TriggerBehavior::holdToTalk);
    ASSERT_TRUE(monitor.hotKeyRegistration() && monitor.hotKeyRegistration()->status.ok)
        << qPrintable(monitor.hotKeyRegistration()->status.error);
    auto holdUntilRepeated = [&] {
        hotKeys.repeats = 0;
        driver.press(XK_Alt_L);
        driver.press(XK_space);
        EXPECT_TRUE(pumpUntil([&] { return hotKeys.repeats >= 5; })) << "the server repeats the held key";
        driver.release(XK_space);
        driver.release(XK_Alt_L);
    };

    // The repeats were handled before the release: a start of theirs would come before the stop.
    holdUntilRepeated();
    EXPECT_TRUE(waitForRequests(R("start stop"))) << "the key's own repeats are no other key";
    take();
    monitor.setBehavior(TriggerBehavior::tapToggle);
    // Once the combination's release has been handled, and a marker key after it has come through the key
    // source, everything the held key asked for is in: exactly one start.
    auto settleRelease = [&](int releases) {
        ASSERT_TRUE(pumpUntil([&] { return hotKeys.releases >= releases; })) << "the release never came";
        settle();
    };
    const int releasesBefore = hotKeys.releases;
    holdUntilRepeated();
    settleRelease(releasesBefore + 1);
    EXPECT_EQ(take(), R("start")) << "the held key's repeats toggle nothing";
    // A second press stops the session.
    driver.tap({XK_Alt_L, XK_space});
    settleRelease(releasesBefore + 2);
    EXPECT_EQ(take(), R("stop"));
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

    driver.tap({XK_Control_R});
    ASSERT_TRUE(pumpUntil([&] { return ledger.size() == 0; })) << "both echoes consumed";
    settle();
    EXPECT_EQ(take(), R(""));

    driver.tap({XK_Control_R});
    EXPECT_TRUE(waitForRequests(R("prewarm start"))) << "the same keys not in the ledger count";
}

TEST_F(KeysTest, TakenHotKeyIsReported)
{
    driver.grab(XK_space, ControlMask);
    bool reported = false;
    monitor.onHotKeyUnavailable = [&](const HotKeyRegistration& registration, const QString&) {
        reported = registration.keyTaken;
    };
    start(TriggerKeyOption::custom, TriggerBehavior::tapToggle);
    EXPECT_TRUE(reported);

    // Once the other client lets go, the combination is ours, with Caps Lock on as well.
    driver.grab(XK_space, ControlMask, false);
    monitor.setCustomSpec(CustomHotkeySpec::defaults());
    ASSERT_TRUE(monitor.hotKeyRegistration()->status.ok)
        << qPrintable(monitor.hotKeyRegistration()->status.error);
    driver.tap({XK_Caps_Lock});
    driver.tap({XK_Control_L, XK_space});
    driver.tap({XK_Caps_Lock});
    EXPECT_TRUE(waitForRequests(R("start")));
}

TEST_F(KeysTest, RecordingTakesTheKeysOfOurWindow)
{
    // Counts the keys it gets, and apart from them the marker key's releases: once a marker is in, every
    // key posted before it has reached the window or never will.
    struct KeyCounter : QWidget {
        int keys = 0;
        int markers = 0;
        void keyPressEvent(QKeyEvent* event) override { keys += event->key() == Qt::Key_Pause ? 0 : 1; }
        void keyReleaseEvent(QKeyEvent* event) override
        {
            (event->key() == Qt::Key_Pause ? markers : keys) += 1;
        }
    } window;
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    driver.tap({XK_a});
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
    ASSERT_TRUE(pumpUntil([&] { return window.markers == 1; })) << "the marker key reaches the window";

    // The trigger itself, recorded: the same keys seen by the key source start nothing.
    window.keys = 0;
    record();
    driver.tap({XK_Super_R});
    ASSERT_TRUE(pumpUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.front(), RecordedShortcutResult::preset(TriggerKeyOption::rightCommand));
    settle();
    EXPECT_EQ(take(), R(""));
    ASSERT_TRUE(pumpUntil([&] { return window.markers == 2; })) << "the marker key reaches the window";
    EXPECT_EQ(window.keys, 0) << "recorded keys never reach the window";
    // The monitor ignores the key source up to the X time of the last recorded key, which counts in
    // milliseconds: keys that are to count come once the server's clock has passed it.
    const std::uint32_t recordedBy = keySource.markerTime;
    while (keySource.markerTime == recordedBy && !HasFatalFailure())
        settle();

    // Recording over, the trigger works again and keys reach the window again.
    driver.tap({XK_Super_R});
    EXPECT_TRUE(waitForRequests(R("prewarm start"))) << requests.join(u' ').toStdString();
    driver.tap({XK_a});
    EXPECT_TRUE(pumpUntil([&] { return window.keys == 4; }));
}
