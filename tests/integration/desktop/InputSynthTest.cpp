#include "TargetProcess.h"
#include "platform/linux/X11GlobalKeySource.h"
#include "platform/linux/XTestInputSynth.h"
#include "system/SyntheticKeyLedger.h"

#include <QList>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

// XInput2 pulls in Xlib, so it comes first, under the renaming XlibIncludes.h does.
#define KeyCode XKeyCode
#include <X11/extensions/XInput2.h>

#include "platform/linux/XlibIncludes.h"

namespace {

// Sees every key event the X server delivers, as the key monitor does: XI2 raw events on the root window,
// with the device they came from.
class RawKeyListener {
public:
    RawKeyListener()
    {
        m_display = XOpenDisplay(nullptr);
        int event = 0, error = 0;
        if (!m_display || !XQueryExtension(m_display, "XInputExtension", &m_opcode, &event, &error))
            return;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
        XISelectEvents(m_display, DefaultRootWindow(m_display), &mask, 1);
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(m_display, XIAllDevices, &count);
        for (int i = 0; i < count; ++i) {
            if (devices[i].use == XISlaveKeyboard && QByteArray(devices[i].name).contains("XTEST"))
                m_xtestDevice = devices[i].deviceid;
        }
        XIFreeDeviceInfo(devices);
        XSync(m_display, False);
    }
    ~RawKeyListener()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }

    bool isReady() const { return m_display && m_xtestDevice != 0; }

    // Collects what has arrived by the time the server answers a round trip.
    void collect()
    {
        std::lock_guard lock(m_mutex);
        XSync(m_display, False);
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.xcookie.type != GenericEvent || event.xcookie.extension != m_opcode ||
                !XGetEventData(m_display, &event.xcookie))
                continue;
            const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
            ++m_count;
            m_keycodes.append(static_cast<std::uint32_t>(raw->detail));
            if (raw->sourceid != m_xtestDevice)
                ++m_foreign;
            XFreeEventData(m_display, &event.xcookie);
        }
    }
    int count() const { return m_count; }
    int foreignCount() const { return m_foreign; }
    QList<std::uint32_t> keycodes() const { return m_keycodes; }

private:
    std::mutex m_mutex;
    ::Display* m_display = nullptr;
    int m_opcode = 0;
    int m_xtestDevice = 0;
    std::atomic<int> m_count = 0;
    std::atomic<int> m_foreign = 0;
    QList<std::uint32_t> m_keycodes;
};

// A key held down by "someone else" through XTest, as a stuck or still-held modifier would be.
void holdKey(KeySym keysym, bool down)
{
    ::Display* display = XOpenDisplay(nullptr);
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, keysym), down ? True : False, CurrentTime);
    XSync(display, False);
    XCloseDisplay(display);
}

void setCapsLock(bool locked)
{
    ::Display* display = XOpenDisplay(nullptr);
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, locked ? LockMask : 0);
    XSync(display, False);
    XCloseDisplay(display);
}

} // namespace

TEST(XTestInputSynth, EveryPostedKeyReachesTheLedgerBeforeTheServer)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    RawKeyListener listener;
    ASSERT_TRUE(listener.isReady());
    XTestInputSynth synth;
    ASSERT_TRUE(synth.isAvailable());

    QList<KeyEvent> ledger;
    int arrivedBeforeAnnounced = 0;
    synth.setPostedKeyObserver([&](const KeyEvent& event) {
        // Whatever the server delivered so far must have been announced earlier.
        listener.collect();
        if (listener.count() > ledger.size())
            ++arrivedBeforeAnnounced;
        ledger.append(event);
    });

    ASSERT_TRUE(synth.typeText(QStringLiteral("aZ€")));
    ASSERT_TRUE(synth.pressBackspace(1));
    ASSERT_TRUE(synth.pressChord({KeyCode::A, ModifierFlag::Command}));
    EXPECT_EQ(target.waitForText(QStringLiteral("aZ")), QStringLiteral("aZ"));
    listener.collect();

    EXPECT_EQ(arrivedBeforeAnnounced, 0);
    EXPECT_EQ(listener.foreignCount(), 0) << "every event comes from the XTest device";
    QList<std::uint32_t> announced;
    for (const KeyEvent& event : ledger) {
        EXPECT_TRUE(event.isSynthetic);
        announced.append(event.nativeCode);
    }
    EXPECT_EQ(listener.keycodes(), announced)
        << "the ledger names each delivered key by its keycode, in order";

    // Shift for "Z", then Ctrl (not Super) around A for the Command chord, in macOS terms.
    auto index = [&](KeyEvent::Kind kind, std::uint16_t keyCode, std::uint64_t flags) {
        for (qsizetype i = 0; i < ledger.size(); ++i) {
            if (ledger[i].kind == kind && ledger[i].keyCode == keyCode && ledger[i].flags == flags)
                return i;
        }
        return qsizetype(-1);
    };
    using namespace ModifierFlag;
    EXPECT_GE(index(KeyEvent::Kind::FlagsChanged, KeyCode::LeftShift, Shift | DeviceLeftShift), 0);
    const qsizetype controlDown =
        index(KeyEvent::Kind::FlagsChanged, KeyCode::LeftControl, Control | DeviceLeftControl);
    const qsizetype aDown = index(KeyEvent::Kind::KeyDown, KeyCode::A, Control | DeviceLeftControl);
    const qsizetype controlUp = index(KeyEvent::Kind::FlagsChanged, KeyCode::LeftControl, 0);
    ASSERT_GE(controlDown, 0);
    EXPECT_LT(controlDown, aDown);
    EXPECT_LT(aDown, controlUp);
    EXPECT_GE(index(KeyEvent::Kind::KeyDown, KeyCode::Delete, 0), 0);
}

TEST(XTestInputSynth, TheKeyMonitorDropsEveryKeyWePost)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    SystemClock clock;
    SyntheticKeyLedger ledger(clock);
    std::mutex mutex;
    QList<KeyEvent> notOurs;
    int seen = 0;
    X11GlobalKeySource monitor;
    ASSERT_TRUE(monitor.start([&](const KeyEvent& event) {
        const bool ours = ledger.consumeMatch(event);
        std::lock_guard lock(mutex);
        ++seen;
        if (!ours)
            notOurs.append(event);
    }));
    XTestInputSynth synth;
    int posted = 0;
    synth.setPostedKeyObserver([&](const KeyEvent& event) {
        ++posted;
        ledger.record(event);
    });

    holdKey(XK_Control_R, true); // a trigger key still held when typing starts
    ASSERT_TRUE(synth.typeText(QStringLiteral("Grüße 你好 😀")));
    ASSERT_TRUE(synth.pressBackspace(2));
    ASSERT_TRUE(synth.pressChord({KeyCode::A, ModifierFlag::Command}));
    ASSERT_TRUE(synth.pressChord({KeyCode::Return, ModifierFlag::Shift}));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::lock_guard lock(mutex);
            return seen >= posted + 1;
        },
        5000));
    monitor.stop();
    ASSERT_EQ(notOurs.size(), 1) << "only the other client's Right Control press passes";
    EXPECT_EQ(notOurs.first().keyCode, KeyCode::RightControl);
    EXPECT_EQ(ledger.size(), 0u) << "every entry was matched once";
}

TEST(XTestInputSynth, TypesAnyTextExactly)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;

    const QString greeting = QStringLiteral("Grüße 你好 😀");
    ASSERT_TRUE(synth.typeText(greeting));
    EXPECT_EQ(target.waitForText(greeting), greeting);

    // More distinct characters than there are spare keycodes, repeats among them.
    target.setText({});
    const QString mixed =
        QStringLiteral("Ça coûte 12,50 € — naïve façade: 東京都の天気は晴れ、気温二十五度です。ÄÖÜ ß "
                       "😀👍🏽 "
                       "done");
    ASSERT_TRUE(synth.typeText(mixed));
    EXPECT_EQ(target.waitForText(mixed), mixed);

    // Erase and replace as the live typing session does.
    ASSERT_TRUE(synth.pressBackspace(5));
    const QString shortened = mixed.left(mixed.size() - 5);
    EXPECT_EQ(target.waitForText(shortened), shortened);
    ASSERT_TRUE(synth.pressChord({KeyCode::A, ModifierFlag::Command}));
    ASSERT_TRUE(synth.typeText(QStringLiteral("替换")));
    EXPECT_EQ(target.waitForText(QStringLiteral("替换")), QStringLiteral("替换"));
}

TEST(XTestInputSynth, TypesMultipleLinesIntoATextEdit)
{
    TargetProcess target({QStringLiteral("textedit")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;

    // Callers send line breaks as Shift+Return; a bare line feed types Return.
    ASSERT_TRUE(synth.typeText(QStringLiteral("第一行 one")));
    ASSERT_TRUE(synth.pressChord({KeyCode::Return, ModifierFlag::Shift}));
    ASSERT_TRUE(synth.typeText(QStringLiteral("- second ✓\nthird")));
    const QString expected = QStringLiteral("第一行 one\n- second ✓\nthird");
    EXPECT_EQ(target.waitForText(expected), expected);
}

TEST(XTestInputSynth, HeldModifiersAndCapsLockDoNotChangeTheText)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;
    QList<KeyEvent> ledger;
    synth.setPostedKeyObserver([&](const KeyEvent& event) { ledger.append(event); });

    holdKey(XK_Shift_L, true);
    ASSERT_TRUE(synth.typeText(QStringLiteral("abc")));
    EXPECT_EQ(target.waitForText(QStringLiteral("abc")), QStringLiteral("abc"))
        << "the held Shift was released";
    ASSERT_FALSE(ledger.isEmpty());
    EXPECT_EQ(ledger.first().kind, KeyEvent::Kind::FlagsChanged)
        << "the held Shift's release is in the ledger too";
    EXPECT_EQ(ledger.first().keyCode, KeyCode::LeftShift);
    EXPECT_EQ(ledger.first().flags, 0u);

    setCapsLock(true);
    ASSERT_TRUE(synth.typeText(QStringLiteral("Dé ü")));
    setCapsLock(false);
    EXPECT_EQ(target.waitForText(QStringLiteral("abcDé ü")), QStringLiteral("abcDé ü"));
}

TEST(XTestInputSynth, ReportsAMissingDisplay)
{
    XTestInputSynth synth(QByteArrayLiteral(":4711"));
    EXPECT_FALSE(synth.isAvailable());
    const Status status = synth.typeText(QStringLiteral("x"));
    EXPECT_FALSE(status.ok);
    EXPECT_FALSE(status.error.isEmpty());
    EXPECT_FALSE(synth.pressChord({KeyCode::V, ModifierFlag::Command}).ok);
}
