#include "platform/linux/XTestInputSynth.h"

#include "platform/linux/PingLedger.h"
#include "platform/linux/X11KeyMap.h"
#include "platform/linux/X11PrivateDisplay.h"
#include "util/AppIdentity.h"

#include <QList>
#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "platform/linux/XlibIncludes.h"

#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// A remapped keycode takes effect only once the focused client has fetched the new keymap; no remapped key is
// pressed sooner than this after its remap, so it is never read under a mapping meant for another character.
constexpr auto kRemapSettle = std::chrono::milliseconds(10);
// Characters the layout lacks go onto spare keycodes a batch at a time, one remap and one settle per batch of
// up to half the ring, so a batch never takes the keys the one before it has just been typed on. A keyboard
// map has a few dozen spare keycodes at most (19 on a default X server).
constexpr std::size_t kSpareRingSize = 32;
// Every X client, the app's own window and the target included, rebuilds its keymap on its main thread for
// each keycode changed, one notification after another: a batch of nine kept the app's event loop busy for
// up to 30 ms at a stretch. Three at a time keeps it under 5 ms and types as fast.
constexpr std::size_t kMaxBatch = 3;

// The keysym that types a code point: Latin-1 keysyms equal their code point, the rest use the Unicode
// keysym range. Nothing for control characters, which are not text.
std::optional<KeySym> keysymForCodePoint(char32_t codePoint)
{
    if (codePoint == U'\n' || codePoint == U'\r')
        return XK_Return;
    if (codePoint == U'\t')
        return XK_Tab;
    if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0) || codePoint > 0x10FFFF)
        return std::nullopt;
    if (codePoint <= 0xFF)
        return codePoint;
    return 0x01000000 | codePoint;
}

using Clock = std::chrono::steady_clock;

// A key press with the modifier mask that has to be held for it to produce the wanted keysym.
struct Stroke {
    unsigned keycode = 0;
    unsigned modifiers = 0;
};

} // namespace

// Owns the X connection. Lives and is used only on the posting thread.
class XTestInputSynth::Poster {
public:
    explicit Poster(const QByteArray& displayName)
    {
        m_connection = X11PrivateDisplay::open(displayName, &m_failure);
        if (!m_connection)
            return;
        m_display = m_connection->display();
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(m_display, &eventBase, &errorBase, &major, &minor))
            m_failure = QStringLiteral("The X server has no XTEST extension");
        m_wmProtocols = XInternAtom(m_display, "WM_PROTOCOLS", False);
        m_wmPing = XInternAtom(m_display, "_NET_WM_PING", False);
    }

    ~Poster()
    {
        if (!m_display)
            return;
        // Give the spare keycodes back so the keymap is as we found it, once the last keys have been read.
        // The owner may be waiting for us on the main thread, which may be the focused client itself: no
        // waiting for ping answers here, only the quiet time for keys not answered for yet.
        readEvents();
        std::this_thread::sleep_until(m_ledger.quietEndOfUnanswered());
        for (const auto& [keycode, keysym] : m_slotSyms) {
            KeySym nothing = NoSymbol;
            XChangeKeyboardMapping(m_display, static_cast<int>(keycode), 1, &nothing, 1);
        }
        m_connection->syncAndTakeError();
        if (m_xkb)
            XkbFreeKeyboard(m_xkb, 0, True);
    }

    bool isAvailable() const { return m_failure.isEmpty(); }

    // Prepares one request: fresh keymap and modifier state, the user's held modifiers released unless the
    // request posts no keys.
    Status begin(PostedKeyObserver observer, bool postsKeys)
    {
        if (!m_failure.isEmpty())
            return Status::failure(m_failure);
        readEvents();
        if (!refreshKeymap())
            return Status::failure(QStringLiteral("Cannot read the X keyboard map"));
        m_observer = std::move(observer);
        if (postsKeys)
            releaseHeldModifiers();
        m_connection->syncAndTakeError();
        readState();
        return Status::success();
    }

    // Waits until the server has processed every event of the request.
    Status end()
    {
        m_observer = nullptr;
        return pingAfterPresses();
    }

    // Types the code points in order; those the keymap lacks are put on spare keys a batch at a time.
    Status typeCodePoints(const QList<uint>& codePoints)
    {
        qsizetype next = 0;
        while (next < codePoints.size()) {
            qsizetype end = next;
            if (const Status remapped = remapBatchFrom(codePoints, next, end); !remapped)
                return remapped;
            for (; next < end; ++next) {
                if (const Status typed = typeCodePoint(codePoints[next]); !typed)
                    return typed;
            }
            if (const Status pinged = pingAfterPresses(); !pinged)
                return pinged;
        }
        return Status::success();
    }

    Status typeCodePoint(char32_t codePoint)
    {
        const std::optional<KeySym> keysym = keysymForCodePoint(codePoint);
        if (!keysym)
            return Status::success();
        std::optional<Stroke> stroke = strokeFor(*keysym);
        if (!stroke) {
            if (const Status remapped = remapBatch({*keysym}); !remapped)
                return remapped;
            stroke = strokeFor(*keysym);
            if (!stroke)
                return Status::failure(
                    QStringLiteral("No key types U+%1").arg(codePoint, 4, 16, QChar(u'0')));
        }
        // With Caps Lock on, the receiving client upper-cases the letter of a key whose type leaves Lock
        // unused, and its case tables have gaps (ß turns into a keysym that is no character at all). Such a
        // key is pressed with Caps Lock released for the moment.
        const bool releaseCapsLock = m_capsLocked && QChar::isLower(codePoint) && !usesLock(stroke->keycode);
        if (releaseCapsLock)
            lockCaps(false);
        pressStroke(*stroke);
        if (releaseCapsLock)
            lockCaps(true);
        return Status::success();
    }

    Status pressChord(KeyChord chord)
    {
        // The usual keysym of the macOS key, found on the keymap or else put on a spare key.
        const std::vector<unsigned long> keysyms = X11KeyMap::keysymsFor(chord.keyCode);
        if (keysyms.empty())
            return Status::failure(QStringLiteral("No X key for key code %1").arg(chord.keyCode));
        std::optional<Stroke> stroke;
        for (unsigned long keysym : keysyms) {
            if ((stroke = findStroke(keysym)))
                break;
        }
        if (!stroke) {
            if (const Status remapped = remapBatch({keysyms.front()}); !remapped)
                return remapped;
            stroke = strokeFor(keysyms.front());
            if (!stroke)
                return Status::failure(QStringLiteral("No X key for key code %1").arg(chord.keyCode));
        }
        // The chord's own modifiers replace whatever the stroke would have needed.
        QList<KeySym> held;
        if (chord.modifiers & (ModifierFlag::Control | ModifierFlag::Command))
            held.append(XK_Control_L);
        if (chord.modifiers & ModifierFlag::Option)
            held.append(XK_Alt_L);
        if (chord.modifiers & ModifierFlag::Shift)
            held.append(XK_Shift_L);
        QList<unsigned> heldKeycodes;
        for (KeySym modifier : held) {
            const std::optional<unsigned> keycode = modifierKeycode(modifier);
            if (!keycode)
                return Status::failure(QStringLiteral("The keyboard map has no %1 key")
                                           .arg(QString::fromLatin1(XKeysymToString(modifier))));
            heldKeycodes.append(*keycode);
        }
        beforePressing(stroke->keycode);
        for (unsigned keycode : heldKeycodes)
            postModifier(keycode, true);
        postKey(stroke->keycode);
        for (auto it = heldKeycodes.rbegin(); it != heldKeycodes.rend(); ++it)
            postModifier(*it, false);
        return Status::success();
    }

    // Puts the characters of `codePoints` the keymap lacks on spare keys ahead of their typing, as many as
    // the keys free now hold: keys whose last press has been read, in ring order, up to one that holds a
    // character of `codePoints` not typed yet. Never waits.
    Status prepare(const QList<uint>& codePoints)
    {
        std::vector<KeySym> upcoming;
        std::vector<KeySym> lacking;
        for (uint codePoint : codePoints) {
            const std::optional<KeySym> keysym = keysymForCodePoint(codePoint);
            if (!keysym || std::find(upcoming.begin(), upcoming.end(), *keysym) != upcoming.end())
                continue;
            upcoming.push_back(*keysym);
            if (!strokeFor(*keysym))
                lacking.push_back(*keysym);
        }
        const Clock::time_point now = Clock::now();
        std::size_t free = 0;
        for (unsigned keycode : nextSlots(std::min(lacking.size(), batchCapacity()))) {
            if (!m_ledger.isRead(keycode, now))
                break;
            const auto held = m_slotSyms.find(keycode);
            if (held != m_slotSyms.end() &&
                std::find(upcoming.begin(), upcoming.end(), held->second) != upcoming.end())
                break;
            ++free;
        }
        lacking.resize(free);
        return remapBatch(lacking);
    }

    bool hasPingsOut() const { return m_ledger.hasPingsOut(); }

    // Between requests, while pings are out: takes their answers as they come, until none is out or a request
    // is waiting (`wakeFd` readable), so the root window's events are selected no longer than needed.
    void watchPings(int wakeFd)
    {
        if (!m_failure.isEmpty())
            return;
        for (;;) {
            readEvents();
            const std::optional<Clock::time_point> expiry = m_ledger.nextExpiry();
            if (!expiry)
                return;
            pollfd fds[2] = {{ConnectionNumber(m_display), POLLIN, 0}, {wakeFd, POLLIN, 0}};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*expiry - Clock::now());
            poll(fds, 2, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
            if (fds[1].revents & POLLIN)
                return;
        }
    }

private:
    // Takes the answers to our pings from the events that have arrived, gives up on those out too long, and
    // keeps the root window's events selected only while a ping is out. The rest (the MappingNotify events
    // the server sends every client, the root's structure events) nobody reads here.
    void readEvents()
    {
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            takePingAnswer(event);
        }
        m_ledger.expire(Clock::now());
        selectPingAnswers(m_ledger.hasPingsOut());
    }

    // Clients answer a ping by sending it back to the root window for the window manager, to those that
    // select its substructure (GTK) or its structure (Qt) events.
    void selectPingAnswers(bool select)
    {
        if (select == m_rootSelected)
            return;
        m_rootSelected = select;
        XSelectInput(m_display, DefaultRootWindow(m_display),
                     select ? StructureNotifyMask | SubstructureNotifyMask : NoEventMask);
        XFlush(m_display);
    }

    void takePingAnswer(const XEvent& event)
    {
        if (event.type != ClientMessage || event.xclient.message_type != m_wmProtocols ||
            event.xclient.format != 32 || static_cast<Atom>(event.xclient.data.l[0]) != m_wmPing)
            return;
        m_ledger.takeAnswer(static_cast<Window>(event.xclient.data.l[2]), event.xclient.data.l[1]);
    }

    // Waits until the client that got the last press of `keycode` has read it (see PingLedger::isRead), a
    // bounded wait on the posting thread.
    Status waitUntilRead(unsigned keycode)
    {
        readEvents();
        if (!m_ledger.isPinged(keycode)) {
            if (const Status pinged = pingAfterPresses(); !pinged)
                return pinged;
        }
        while (!m_ledger.isRead(keycode, Clock::now())) {
            const std::optional<PingLedger::Ping> ping = m_ledger.pendingPing(keycode);
            if (!ping)
                break;
            const Clock::time_point deadline = ping->sentAt + PingLedger::kAnswerWait;
            const Clock::time_point now = Clock::now();
            if (now >= deadline) {
                m_ledger.markSilent(ping->window); // its later pings are sent, but not waited for
                break;
            }
            if (XPending(m_display) > 0) {
                readEvents();
                continue;
            }
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            poll(&connection, 1, static_cast<int>(left.count()));
        }
        if (!m_ledger.isRead(keycode, Clock::now()))
            std::this_thread::sleep_until(m_ledger.quietEnd(keycode));
        return Status::success();
    }

    // Sends the focused client a ping if spare keys were pressed since the last one, after making sure the
    // server took every key before it.
    Status pingAfterPresses()
    {
        if (const int error = m_connection->syncAndTakeError())
            return Status::failure(
                QStringLiteral("The X server refused a synthetic key (error %1)").arg(error));
        if (!m_ledger.hasPressesSincePing())
            return Status::success();
        if (!sendPing(pingWindow()))
            m_ledger.pingNotSent();
        selectPingAnswers(m_ledger.hasPingsOut());
        return Status::success();
    }

    // Whether a ping covering every press so far went out to `window`.
    bool sendPing(Window window)
    {
        if (window == kXNone)
            return false;
        // Listening before the ping goes out, so no answer can come unheard.
        selectPingAnswers(true);
        XEvent ping{};
        ping.xclient.type = ClientMessage;
        ping.xclient.window = window;
        ping.xclient.message_type = m_wmProtocols;
        ping.xclient.format = 32;
        ping.xclient.data.l[0] = static_cast<long>(m_wmPing);
        ping.xclient.data.l[1] = ++m_pingSerial;
        ping.xclient.data.l[2] = static_cast<long>(window);
        XSendEvent(m_display, window, False, NoEventMask, &ping);
        // A window gone since it was looked up just takes no ping.
        if (m_connection->syncAndTakeError() != 0)
            return false;
        m_ledger.pingSent(window, m_pingSerial, Clock::now());
        return true;
    }

    // The top-level window of the client with the keyboard focus if it takes pings (it lists _NET_WM_PING in
    // WM_PROTOCOLS); none otherwise. The focus is usually on the top-level window or a child of it.
    Window pingWindow()
    {
        Window focus = kXNone;
        int revertTo = 0;
        XGetInputFocus(m_display, &focus, &revertTo);
        if (focus == kXNone || focus == PointerRoot)
            return kXNone;
        if (focus == m_pingFocus)
            return m_pingWindow;
        Window window = kXNone;
        for (Window current = focus; current != kXNone;) {
            Atom* protocols = nullptr;
            int count = 0;
            if (XGetWMProtocols(m_display, current, &protocols, &count)) {
                if (std::find(protocols, protocols + count, m_wmPing) != protocols + count)
                    window = current;
                XFree(protocols);
                break;
            }
            Window root = kXNone, parent = kXNone;
            Window* children = nullptr;
            unsigned childCount = 0;
            if (!XQueryTree(m_display, current, &root, &parent, &children, &childCount))
                break;
            if (children)
                XFree(children);
            current = parent == root ? kXNone : parent;
        }
        // A window that went away while we looked is no error of ours; the next ping looks again.
        if (m_connection->syncAndTakeError() == 0) {
            m_pingFocus = focus;
            m_pingWindow = window;
        }
        return window;
    }

    bool refreshKeymap()
    {
        if (m_xkb)
            XkbFreeKeyboard(m_xkb, 0, True);
        m_xkb = XkbGetMap(m_display, XkbKeyTypesMask | XkbKeySymsMask | XkbModifierMapMask, XkbUseCoreKbd);
        if (!m_xkb || !m_xkb->map)
            return false;
        refreshRing();
        return true;
    }

    int keyGroup(unsigned keycode) const
    {
        const int groups = XkbKeyNumGroups(m_xkb, keycode);
        if (groups <= 0)
            return -1;
        int group = m_group;
        if (group >= groups) {
            const unsigned info = XkbKeyGroupInfo(m_xkb, keycode);
            switch (XkbOutOfRangeGroupAction(info)) {
            case XkbClampIntoRange:
                group = groups - 1;
                break;
            case XkbRedirectIntoRange:
                group = XkbOutOfRangeGroupNumber(info);
                if (group >= groups)
                    group = 0;
                break;
            default:
                group %= groups;
                break;
            }
        }
        return group;
    }

    // The keysym a key produces in the current group with `modifiers` in effect, as XKB resolves it.
    KeySym keysymAt(unsigned keycode, unsigned modifiers) const
    {
        const int group = keyGroup(keycode);
        if (group < 0)
            return NoSymbol;
        const XkbKeyTypePtr type = XkbKeyKeyType(m_xkb, keycode, group);
        int level = 0;
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            if (entry.active && (modifiers & type->mods.mask) == entry.mods.mask) {
                level = entry.level;
                break;
            }
        }
        if (level >= XkbKeyGroupWidth(m_xkb, keycode, group))
            return NoSymbol;
        return XkbKeySymEntry(m_xkb, keycode, level, group);
    }

    bool usesLock(unsigned keycode) const
    {
        const int group = keyGroup(keycode);
        return group >= 0 && (XkbKeyKeyType(m_xkb, keycode, group)->mods.mask & LockMask);
    }

    void lockCaps(bool locked)
    {
        XkbLockModifiers(m_display, XkbUseCoreKbd, LockMask, locked ? LockMask : 0);
    }

    bool isModifierKey(unsigned keycode) const { return m_xkb->map->modmap && m_xkb->map->modmap[keycode]; }

    // Keycodes whose keysyms, in any group or level, include `keysym`.
    std::optional<unsigned> keycodeCarrying(KeySym keysym, bool modifiersOnly) const
    {
        for (unsigned keycode = m_xkb->min_key_code; keycode <= m_xkb->max_key_code; ++keycode) {
            if (modifiersOnly != isModifierKey(keycode))
                continue;
            const int count = XkbKeyNumSyms(m_xkb, keycode);
            const KeySym* syms = XkbKeySymsPtr(m_xkb, keycode);
            for (int i = 0; i < count; ++i) {
                if (syms[i] == keysym)
                    return keycode;
            }
        }
        return std::nullopt;
    }

    std::optional<unsigned> modifierKeycode(KeySym keysym) const { return keycodeCarrying(keysym, true); }

    // The modifier masks we can add by pressing Shift and the third-level key, fewest first.
    QList<unsigned> pressableModifiers() const
    {
        QList<unsigned> masks{0};
        unsigned shift = 0;
        unsigned level3 = 0;
        if (const auto keycode = modifierKeycode(XK_Shift_L))
            shift = m_xkb->map->modmap[*keycode];
        if (const auto keycode = modifierKeycode(XK_ISO_Level3_Shift))
            level3 = m_xkb->map->modmap[*keycode];
        if (shift)
            masks.append(shift);
        if (level3 && level3 != shift) {
            masks.append(level3);
            if (shift)
                masks.append(shift | level3);
        }
        return masks;
    }

    // A key that produces `keysym` in the current state, pressing no modifier keys beyond Shift and AltGr.
    std::optional<Stroke> findStroke(KeySym keysym) const
    {
        for (unsigned extra : pressableModifiers()) {
            for (unsigned keycode = m_xkb->min_key_code; keycode <= m_xkb->max_key_code; ++keycode) {
                if (isModifierKey(keycode))
                    continue;
                if (keysymAt(keycode, m_modifiers | extra) == keysym)
                    return Stroke{keycode, extra};
            }
        }
        return std::nullopt;
    }

    // Spare keycodes: no keysyms at all, or ones we mapped ourselves and nobody has changed since.
    void refreshRing()
    {
        std::erase_if(m_ring, [this](unsigned keycode) {
            const auto ours = m_slotSyms.find(keycode);
            const bool stillOurs = ours != m_slotSyms.end() && XkbKeyNumSyms(m_xkb, keycode) > 0 &&
                                   keysymsFor(ours->second)[0] == XkbKeySymsPtr(m_xkb, keycode)[0];
            if (stillOurs || XkbKeyNumSyms(m_xkb, keycode) == 0)
                return false;
            m_slotSyms.erase(keycode);
            return true;
        });
        for (unsigned keycode = m_xkb->max_key_code;
             keycode >= m_xkb->min_key_code && m_ring.size() < kSpareRingSize; --keycode) {
            if (XkbKeyNumSyms(m_xkb, keycode) == 0 && !isModifierKey(keycode) &&
                std::find(m_ring.begin(), m_ring.end(), keycode) == m_ring.end())
                m_ring.push_back(keycode);
        }
    }

    // The two levels a spare key gets: lower and upper case where the character has case, so Caps Lock
    // works on it as on any letter key.
    static std::array<KeySym, 2> keysymsFor(KeySym keysym)
    {
        KeySym lower = NoSymbol, upper = NoSymbol;
        XConvertCase(keysym, &lower, &upper);
        if (lower != upper && (keysym == lower || keysym == upper))
            return {lower, upper};
        return {keysym, keysym};
    }

    // The spare keycodes the next `count` remaps will take, in order.
    std::vector<unsigned> nextSlots(std::size_t count) const
    {
        std::vector<unsigned> slots;
        for (std::size_t i = 0; i < count && i < m_ring.size(); ++i)
            slots.push_back(m_ring[(m_nextSlot + i) % m_ring.size()]);
        return slots;
    }

    std::size_t batchCapacity() const { return std::clamp<std::size_t>(m_ring.size() / 2, 1, kMaxBatch); }

    // Puts the characters from `from` on that the keymap lacks onto spare keys, as many as one batch holds;
    // `end` is where the next batch must start. A character sitting on a spare key the batch takes counts as
    // lacking.
    Status remapBatchFrom(const QList<uint>& codePoints, qsizetype from, qsizetype& end)
    {
        const std::vector<unsigned> taken = nextSlots(batchCapacity());
        std::vector<KeySym> batch;
        for (end = from; end < codePoints.size(); ++end) {
            const std::optional<KeySym> keysym = keysymForCodePoint(codePoints[end]);
            if (!keysym || std::find(batch.begin(), batch.end(), *keysym) != batch.end())
                continue;
            const std::optional<Stroke> stroke = findStroke(*keysym);
            if (stroke && std::find(taken.begin(), taken.end(), stroke->keycode) == taken.end())
                continue;
            if (batch.size() == batchCapacity())
                break;
            batch.push_back(*keysym);
        }
        return remapBatch(batch);
    }

    // One remap request for all of `keysyms` (at most one batch); the keys become usable kRemapSettle later.
    Status remapBatch(const std::vector<KeySym>& keysyms)
    {
        if (keysyms.empty())
            return Status::success();
        if (m_ring.empty())
            return Status::failure(QStringLiteral("The keyboard map has no spare keycode"));
        for (unsigned keycode : nextSlots(keysyms.size())) {
            // A bounded wait on the posting thread, never the caller's.
            if (m_ledger.isRead(keycode, Clock::now()))
                continue;
            if (const Status read = waitUntilRead(keycode); !read)
                return read;
        }
        std::vector<unsigned> remapped;
        for (KeySym keysym : keysyms) {
            const unsigned keycode = m_ring[m_nextSlot++ % m_ring.size()];
            std::array<KeySym, 2> syms = keysymsFor(keysym);
            XChangeKeyboardMapping(m_display, static_cast<int>(keycode), 2, syms.data(), 1);
            m_slotSyms[keycode] = keysym;
            remapped.push_back(keycode);
        }
        if (const int error = m_connection->syncAndTakeError())
            return Status::failure(
                QStringLiteral("The X server refused a keymap change (error %1)").arg(error));
        const Clock::time_point settledAt = Clock::now() + kRemapSettle;
        for (unsigned keycode : remapped)
            m_settledAt[keycode] = settledAt;
        if (!refreshKeymap())
            return Status::failure(QStringLiteral("Cannot read the X keyboard map"));
        return Status::success();
    }

    // A key that produces `keysym`: on the keymap, or the spare key we put it on.
    std::optional<Stroke> strokeFor(KeySym keysym) const
    {
        if (std::optional<Stroke> stroke = findStroke(keysym))
            return stroke;
        for (const auto& [keycode, slotSym] : m_slotSyms) {
            if (slotSym == keysym)
                return Stroke{keycode, 0};
        }
        return std::nullopt;
    }

    // Before a key remapped in the last batch is pressed, the rest of the settle passes (a bounded wait on
    // the posting thread, never the caller's); a spare key's press is noted for its next remap.
    void beforePressing(unsigned keycode)
    {
        if (const auto settling = m_settledAt.find(keycode); settling != m_settledAt.end()) {
            std::this_thread::sleep_until(settling->second);
            m_settledAt.erase(settling);
        }
        if (m_slotSyms.contains(keycode))
            m_ledger.notePress(keycode, Clock::now());
    }

    void readState()
    {
        XkbStateRec state{};
        XkbGetState(m_display, XkbUseCoreKbd, &state);
        m_group = state.group;
        m_modifiers = state.mods;
        m_capsLocked = state.locked_mods & LockMask;
    }

    void releaseHeldModifiers()
    {
        char keys[32] = {};
        XQueryKeymap(m_display, keys);
        XkbStateRec state{};
        XkbGetState(m_display, XkbUseCoreKbd, &state);
        m_capsLocked = state.locked_mods & LockMask;
        m_heldFlags.clear();
        for (unsigned keycode = m_xkb->min_key_code; keycode <= m_xkb->max_key_code; ++keycode) {
            if ((keys[keycode / 8] & (1 << (keycode % 8))) && isModifierKey(keycode))
                m_heldFlags[keycode] = macKeyAt(keycode).modifierFlags;
        }
        const std::map<unsigned, std::uint64_t> held = m_heldFlags;
        for (const auto& [keycode, keyFlags] : held)
            postModifier(keycode, false);
    }

    // The macOS key the key monitor names this keycode by: the base level of the first group that names a
    // known key.
    X11KeyMap::MacKey macKeyAt(unsigned keycode) const
    {
        const int groups = XkbKeyNumGroups(m_xkb, keycode);
        for (int group = 0; group < groups; ++group) {
            const X11KeyMap::MacKey key = X11KeyMap::fromKeysym(XkbKeySymEntry(m_xkb, keycode, 0, group));
            if (key.isKnown())
                return key;
        }
        return {};
    }

    void post(unsigned keycode, bool press, KeyEvent event)
    {
        event.isSynthetic = true;
        event.nativeCode = keycode;
        if (m_observer)
            m_observer(event);
        XTestFakeKeyEvent(m_display, keycode, press ? True : False, CurrentTime);
    }

    void postModifier(unsigned keycode, bool press)
    {
        const X11KeyMap::MacKey key = macKeyAt(keycode);
        if (press)
            m_heldFlags[keycode] = key.modifierFlags;
        else
            m_heldFlags.erase(keycode);
        post(keycode, press, {KeyEvent::Kind::FlagsChanged, key.keyCode, flags()});
    }

    // The modifier state after the last posted event, in the key monitor's terms.
    std::uint64_t flags() const
    {
        std::uint64_t flags = m_capsLocked ? ModifierFlag::CapsLock : 0;
        for (const auto& [keycode, keyFlags] : m_heldFlags)
            flags |= keyFlags;
        return flags;
    }

    void postKey(unsigned keycode)
    {
        const X11KeyMap::MacKey key = macKeyAt(keycode);
        post(keycode, true, {KeyEvent::Kind::KeyDown, key.keyCode, flags() | key.keyFlags});
        post(keycode, false, {KeyEvent::Kind::KeyUp, key.keyCode, flags() | key.keyFlags});
    }

    void pressStroke(const Stroke& stroke)
    {
        beforePressing(stroke.keycode);
        QList<unsigned> held;
        for (KeySym modifier : {KeySym(XK_Shift_L), KeySym(XK_ISO_Level3_Shift)}) {
            const std::optional<unsigned> keycode = modifierKeycode(modifier);
            if (keycode && (stroke.modifiers & m_xkb->map->modmap[*keycode]))
                held.append(*keycode);
        }
        for (unsigned keycode : held)
            postModifier(keycode, true);
        postKey(stroke.keycode);
        for (auto it = held.rbegin(); it != held.rend(); ++it)
            postModifier(*it, false);
    }

    std::unique_ptr<X11PrivateDisplay> m_connection;
    Display* m_display = nullptr;
    QString m_failure;
    XkbDescPtr m_xkb = nullptr;
    int m_group = 0;
    unsigned m_modifiers = 0;
    bool m_capsLocked = false;
    std::map<unsigned, std::uint64_t> m_heldFlags; // modifier keys down, by keycode
    PostedKeyObserver m_observer;
    std::vector<unsigned> m_ring;
    std::size_t m_nextSlot = 0;
    std::map<unsigned, KeySym> m_slotSyms;
    std::map<unsigned, Clock::time_point>
        m_settledAt; // remapped keycodes not pressed since, usable from then
    Atom m_wmProtocols = kXNone;
    Atom m_wmPing = kXNone;
    PingLedger m_ledger;
    long m_pingSerial = 0;
    bool m_rootSelected = false; // the root window's structure events, while a ping is out
    Window m_pingFocus = kXNone; // the focus window last looked up, and its ping window
    Window m_pingWindow = kXNone;
};

XTestInputSynth::XTestInputSynth(const QByteArray& displayName)
    : m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_queue(AppIdentity::queueLabel(QStringLiteral("input-synth")))
{
    // Xlib's connection setup is not safe beside other threads' Xlib calls: the builder waits for it.
    m_queue.sync([this, displayName] {
        m_poster = std::make_unique<Poster>(displayName);
        m_available = m_poster->isAvailable();
    });
}

XTestInputSynth::~XTestInputSynth()
{
    makeWayForRequest();
    m_queue.sync([this] { m_poster.reset(); });
    m_queue.stop();
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void XTestInputSynth::makeWayForRequest()
{
    const std::uint64_t one = 1;
    if (m_wakeFd >= 0) [[maybe_unused]]
        const auto written = write(m_wakeFd, &one, sizeof one);
}

bool XTestInputSynth::isAvailable() const
{
    return m_available;
}

XTestInputSynth::PostedKeyObserver XTestInputSynth::observer() const
{
    std::lock_guard lock(m_observerMutex);
    return m_observer;
}

void XTestInputSynth::setPostedKeyObserver(PostedKeyObserver observer)
{
    std::lock_guard lock(m_observerMutex);
    m_observer = std::move(observer);
}

Status XTestInputSynth::post(const std::function<Status(Poster&)>& keys, bool postsKeys)
{
    Status result;
    makeWayForRequest();
    m_queue.sync([&] {
        std::uint64_t woken = 0;
        if (m_wakeFd >= 0) [[maybe_unused]]
            const auto read = ::read(m_wakeFd, &woken, sizeof woken);
        result = m_poster->begin(observer(), postsKeys);
        if (result) {
            result = keys(*m_poster);
            const Status ended = m_poster->end();
            if (result)
                result = ended;
        }
        // The answers to the pings still out are taken as they come after the request, not at the next one.
        if (m_poster->hasPingsOut() && !m_watchQueued && m_wakeFd >= 0) {
            m_watchQueued = true;
            m_queue.async([this] {
                m_watchQueued = false;
                if (m_poster)
                    m_poster->watchPings(m_wakeFd);
            });
        }
    });
    return result;
}

Status XTestInputSynth::typeText(const QString& text)
{
    if (text.isEmpty())
        return Status::success();
    return post([&](Poster& poster) { return poster.typeCodePoints(text.toUcs4()); });
}

Status XTestInputSynth::prepareToType(const QString& upcoming)
{
    if (upcoming.isEmpty())
        return Status::success();
    return post([&](Poster& poster) { return poster.prepare(upcoming.toUcs4()); }, false);
}

Status XTestInputSynth::pressChord(KeyChord chord)
{
    return post([&](Poster& poster) { return poster.pressChord(chord); });
}

Status XTestInputSynth::pressBackspace(int count)
{
    if (count <= 0)
        return Status::success();
    return post([&](Poster& poster) {
        Status result;
        for (int i = 0; i < count && result; ++i)
            result = poster.pressChord({KeyCode::Delete, 0});
        return result;
    });
}
