#pragma once

#include "platform/KeyEvent.h"
#include "util/Status.h"

#include <QString>
#include <functional>

// Synthetic keystrokes into whatever window has the keyboard focus. Each call blocks until its events have
// reached the display server, which for a character the layout lacks includes a settle of the remapped key
// (milliseconds per batch of such characters), so no call is made on the main thread: the callers post from
// a queue of their own. Calls may come from any thread and are serialised inside; modifiers the user still
// holds are released first so they do not combine with ours. Chunking, pauses and which paste chord a target
// gets are decided by the callers.
class InputSynth {
public:
    // Sees every key event about to be posted, on the posting thread, before it is posted, so the key
    // monitor can recognise it when it comes back.
    using PostedKeyObserver = std::function<void(const KeyEvent&)>;

    virtual ~InputSynth() = default;

    // Types the characters as given, whether or not the keyboard layout has them. Callers turn line breaks
    // into Shift+Return themselves.
    virtual Status typeText(const QString& text) = 0;
    // Characters that will be typed soon, such as a live-typing backlog: those the layout lacks are put on
    // keys now, several with one keymap change, so the wait for the change to take effect passes before they
    // are typed and is shared by all of them. Only keys free at once are taken and nothing is posted; what
    // does not fit is put on a key when it is typed.
    virtual Status prepareToType(const QString& upcoming) = 0;
    // Presses and releases `chord.keyCode` with the family modifiers of `chord.modifiers` held. Control and
    // Command are both pressed as Ctrl (shortcuts on this desktop use Ctrl), Option as Alt.
    virtual Status pressChord(KeyChord chord) = 0;
    // Presses Backspace `count` times; nothing for count <= 0.
    virtual Status pressBackspace(int count) = 0;
    virtual void setPostedKeyObserver(PostedKeyObserver observer) = 0;
};
