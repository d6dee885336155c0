#pragma once

typedef struct _XDisplay Display;

// The CLIPBOARD selection's owner as the X server has it, over a connection of its own. Large contents put
// back for the user are served by a thread of ours, which takes the clipboard a moment after the restore
// (later on a busy machine): another application's paste reaches them from then on.
class ClipboardOwnerWatch {
public:
    ClipboardOwnerWatch();
    ~ClipboardOwnerWatch();
    ClipboardOwnerWatch(const ClipboardOwnerWatch&) = delete;
    ClipboardOwnerWatch& operator=(const ClipboardOwnerWatch&) = delete;

    // The owner's window; 0 when nobody owns it.
    unsigned long owner();

private:
    Display* m_display;
};

// Takes the clipboard over a connection nobody reads: every request to it goes unanswered, as with a hung
// application.
class SilentOwner {
public:
    SilentOwner();
    ~SilentOwner();
    SilentOwner(const SilentOwner&) = delete;
    SilentOwner& operator=(const SilentOwner&) = delete;

    bool isUp() const { return m_display != nullptr; }

private:
    Display* m_display;
};
