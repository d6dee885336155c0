#include "TargetProcess.h"
#include "platform/linux/X11GlobalKeySource.h"
#include "platform/linux/XTestInputSynth.h"
#include "system/SyntheticKeyLedger.h"

#include <QList>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>

#include "platform/linux/XlibIncludes.h"

namespace {

// Another client of the display: a key held down through XTest, as a stuck or still-held modifier would be.
void holdKey(KeySym keysym)
{
    ::Display* display = XOpenDisplay(nullptr);
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, keysym), True, CurrentTime);
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

bool isCapsLocked()
{
    ::Display* display = XOpenDisplay(nullptr);
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    XCloseDisplay(display);
    return state.locked_mods & LockMask;
}

// Whether any key of the current keymap carries the character, as another client reads the map.
bool keymapCarries(char32_t character)
{
    ::Display* display = XOpenDisplay(nullptr);
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym* syms = XGetKeyboardMapping(display, static_cast<XKeyCode>(minKeycode),
                                       maxKeycode - minKeycode + 1, &perKeycode);
    const KeySym wanted = 0x01000000 | character;
    const bool found = std::find(syms, syms + (maxKeycode - minKeycode + 1) * perKeycode, wanted) !=
                       syms + (maxKeycode - minKeycode + 1) * perKeycode;
    XFree(syms);
    XCloseDisplay(display);
    return found;
}

// More distinct characters than two rounds of the spare keys (19 under Xvfb).
const QString kTwoRoundsOfSpareKeys = QStringLiteral("甲乙丙丁戊己庚辛壬癸子丑寅卯辰巳午未申酉戌亥"
                                                     "金木水火土日月星辰风云雷电山川河海湖泊江");

} // namespace

// Characters readied ahead of their typing are on keys before they are typed, and typing them with others
// readied after them lands the text exactly; a character readied but not typed yet keeps its key.
TEST(XTestInputSynth, CharactersReadiedAheadAreOnKeysWhenTheirTurnComes)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;

    // A few at a time: each keymap change keeps every X client busy rebuilding its keymap.
    const QString first = QStringLiteral("甲乙丙");
    ASSERT_TRUE(synth.prepareToType(first + QStringLiteral("丁")));
    for (QChar character : first)
        EXPECT_TRUE(keymapCarries(character.unicode())) << "readied: " << QString(character).toStdString();
    EXPECT_FALSE(keymapCarries(U'丁')) << "one batch at a time";
    EXPECT_FALSE(keymapCarries(U'戊')) << "only what was asked for";

    // Typed a character at a time, each time readying the ones after it, as the live-typing pacer does.
    // Within one round of the spare keys (19 under Xvfb) the next character is always ready; after that a key
    // is taken again only once the target has read its last press, and typing waits for it.
    const QString text = first + QStringLiteral("丁戊己庚辛壬癸子丑寅卯辰巳午");
    for (qsizetype i = 0; i < text.size(); ++i) {
        ASSERT_TRUE(synth.prepareToType(text.sliced(i, std::min<qsizetype>(16, text.size() - i))));
        if (i + 1 < text.size()) {
            EXPECT_TRUE(keymapCarries(text[i + 1].unicode())) << "the next character is ready at " << i;
        }
        ASSERT_TRUE(synth.typeText(text.sliced(i, 1)));
    }
    EXPECT_EQ(target.waitForText(text), text);
}

// The key monitor sees every key we post and must know each one from the ledger by the time it arrives.
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
    int arrivedBeforeAnnounced = 0;
    synth.setPostedKeyObserver([&](const KeyEvent& event) {
        {
            std::lock_guard lock(mutex);
            if (seen > posted + 1) // + 1: the other client's press
                ++arrivedBeforeAnnounced;
        }
        ++posted;
        ledger.record(event);
    });

    holdKey(XK_Control_R); // a trigger key still held when typing starts
    ASSERT_TRUE(synth.typeText(QStringLiteral("Grüße 你好 😀")));
    ASSERT_TRUE(synth.pressBackspace(2));
    ASSERT_TRUE(synth.pressChord({KeyCode::A, ModifierFlag::Command}));
    ASSERT_TRUE(synth.pressChord({KeyCode::Return, ModifierFlag::Shift}));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::lock_guard lock(mutex);
            return seen >= posted + 1;
        },
        30000));
    monitor.stop();
    EXPECT_EQ(arrivedBeforeAnnounced, 0);
    ASSERT_EQ(notOurs.size(), 1) << "only the other client's Right Control press passes";
    EXPECT_EQ(notOurs.first().keyCode, KeyCode::RightControl);
    EXPECT_EQ(ledger.size(), 0u) << "every entry was matched once";
}

TEST(XTestInputSynth, TypesAnyTextExactly)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;

    holdKey(XK_Shift_L); // released before typing, or the text would be upper case
    const QString greeting = QStringLiteral("Grüße 你好 😀");
    ASSERT_TRUE(synth.typeText(greeting));
    EXPECT_EQ(target.waitForText(greeting), greeting);

    // More distinct characters than there are spare keycodes, repeats among them.
    target.setText({});
    const QString mixed = QStringLiteral("Ça coûte 12,50 € — naïve façade: 東京都の天気は晴れ、"
                                         "気温二十五度です。ÄÖÜ ß 😀👍🏽 done");
    ASSERT_TRUE(synth.typeText(mixed));
    EXPECT_EQ(target.waitForText(mixed), mixed);

    // Several batches of spare keys in one call: keys are reused while the target may still be reading, and
    // the first character comes back after its key has long been given to another.
    target.setText({});
    const QString han = QStringLiteral("春夏秋冬东南西北上下左右前后内外山水火木金土日月星云风雨雪霜"
                                       "江河湖海花草树林鸟兽虫鱼红黄蓝绿黑白紫灰甜酸苦辣春");
    ASSERT_TRUE(synth.typeText(han));
    EXPECT_EQ(target.waitForText(han), han);
    target.setText(mixed);

    // Erase and replace as the live typing session does.
    ASSERT_TRUE(synth.pressBackspace(5));
    EXPECT_EQ(target.waitForText(mixed.chopped(5)), mixed.chopped(5));
    ASSERT_TRUE(synth.pressChord({KeyCode::A, ModifierFlag::Command}));
    setCapsLock(true);
    ASSERT_TRUE(synth.typeText(QStringLiteral("替换 Dé üß")));
    EXPECT_TRUE(isCapsLocked()) << "the user's Caps Lock is left as it was";
    setCapsLock(false);
    EXPECT_EQ(target.waitForText(QStringLiteral("替换 Dé üß")), QStringLiteral("替换 Dé üß"))
        << "Caps Lock ignored";
}

// A client that falls far behind the keys sent to it reads each of them under the mapping it was typed with:
// a spare key is not given to another character while a press of it may still wait in the client's queue.
TEST(XTestInputSynth, TypesExactlyIntoAClientThatFallsBehind)
{
    TargetProcess target(
        {QStringLiteral("lineedit"), QStringLiteral("--stall-at-first-key"), QStringLiteral("500")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;

    // Typing goes on while the client is stalled.
    ASSERT_TRUE(synth.typeText(kTwoRoundsOfSpareKeys));
    EXPECT_EQ(target.waitForText(kTwoRoundsOfSpareKeys), kTwoRoundsOfSpareKeys);
}

// The focus moves on while the client that had it is still behind: the keys it has not read yet keep their
// mappings until it answers for them itself, however quickly the client now focused answers for its own.
TEST(XTestInputSynth, TypesExactlyIntoAClientThatFallsBehindWhenTheFocusMovesOn)
{
    TargetProcess behind(
        {QStringLiteral("lineedit"), QStringLiteral("--stall-at-first-key"), QStringLiteral("800")});
    ASSERT_TRUE(behind.start());
    TargetProcess next({QStringLiteral("lineedit")});
    ASSERT_TRUE(next.start());
    ::Display* display = XOpenDisplay(nullptr);
    auto focus = [&](unsigned long window) {
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
        XSync(display, False);
    };
    XTestInputSynth synth;

    // Three batches on spare keys for the first client, which stalls at its first key; then more than the
    // rest of the ring for the second, so its batches come round to the keys the first has not read yet.
    const QString first = kTwoRoundsOfSpareKeys.first(9);
    const QString second = kTwoRoundsOfSpareKeys.mid(9, 20);
    focus(behind.windowId());
    ASSERT_TRUE(synth.typeText(first));
    focus(next.windowId());
    ASSERT_TRUE(synth.typeText(second));
    EXPECT_EQ(next.waitForText(second), second);
    EXPECT_EQ(behind.waitForText(first), first) << "keys the stalled client had not read were remapped";
    XCloseDisplay(display);
}

// The root window's structure events carry the answers to our pings; between requests nobody reads them, so
// they are selected only while a ping is out, not left to pile up between dictations.
TEST(XTestInputSynth, SelectsTheRootWindowsEventsOnlyWhileAPingIsOut)
{
    ::Display* display = XOpenDisplay(nullptr);
    auto rootMasks = [&] {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display, DefaultRootWindow(display), &attributes);
        return attributes.all_event_masks; // of every client
    };
    ASSERT_EQ(rootMasks() & SubstructureNotifyMask, 0) << "another client of the display selects them";
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;
    EXPECT_EQ(rootMasks() & SubstructureNotifyMask, 0) << "selected before any ping";

    // Characters on spare keys: a ping follows each batch, and the last one is still out when typing ends.
    const QString text = kTwoRoundsOfSpareKeys.first(6);
    ASSERT_TRUE(synth.typeText(text));
    EXPECT_EQ(target.waitForText(text), text);
    EXPECT_TRUE(QTest::qWaitFor([&] { return (rootMasks() & SubstructureNotifyMask) == 0; }, 30000))
        << "still selected once the client has answered";
    XCloseDisplay(display);
}

// A client that lists pings but leaves them unanswered, as a hung one does, is waited for a bounded time
// once; its keys then get the quiet time after their press, and the text still lands exactly.
TEST(XTestInputSynth, TypesExactlyIntoAClientThatLeavesPingsUnanswered)
{
    TargetProcess target({QStringLiteral("lineedit"), QStringLiteral("--ignore-pings")});
    ASSERT_TRUE(target.start());
    XTestInputSynth synth;

    // Past one round of the spare keys, but short of reusing a key pressed after the wait: the quiet time
    // alone would not hold for a client on a loaded machine.
    const QString text = kTwoRoundsOfSpareKeys.first(22);
    ASSERT_TRUE(synth.typeText(text));
    EXPECT_EQ(target.waitForText(text), text);
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

TEST(XTestInputSynth, ReportsAMissingDisplay)
{
    XTestInputSynth synth(QByteArrayLiteral(":4711"));
    EXPECT_FALSE(synth.isAvailable());
    const Status status = synth.typeText(QStringLiteral("x"));
    EXPECT_FALSE(status.ok);
    EXPECT_FALSE(status.error.isEmpty());
}
