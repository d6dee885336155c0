#pragma once

#include "platform/Clipboard.h"

#include <QByteArray>
#include <chrono>
#include <memory>
#include <optional>

class SerialQueue;

// Holds the CLIPBOARD (or PRIMARY) selection for contents we put back for the user, and hands them to every
// application that asks, over an X connection and a thread of its own (queue label
// "org.quorbell.clipboard.server"): a large clipboard goes out in pieces there, never through the main
// thread. Formats are offered as QClipboard offers them ("text/plain" also as UTF8_STRING, STRING and TEXT),
// with TARGETS, TIMESTAMP and MULTIPLE; anything else is refused.
// The contents are let go as soon as another client takes the selection, and handed to the clipboard
// manager, where there is one, when the server goes (the application quits). Any thread.
class X11ClipboardServer final {
public:
    enum class Selection { clipboard, primary };
    // A format larger than this (or than a quarter of the largest request the server takes) goes out in
    // pieces of that size (INCR). xsel takes no more than 4,000,000 bytes of a piece, and waits for the
    // rest of a larger one for ever.
    static constexpr qsizetype kPieceBytes = 1024 * 1024;
    // A client that has not taken a piece by then is given up on.
    static constexpr std::chrono::milliseconds kPieceLimit{5000};

    // Connects to `displayName`, or to $DISPLAY when empty.
    explicit X11ClipboardServer(Selection selection = Selection::clipboard,
                                const QByteArray& displayName = {});
    // Waits while a clipboard manager takes what is held, until it has it or stops asking for kPieceLimit.
    ~X11ClipboardServer();
    X11ClipboardServer(const X11ClipboardServer&) = delete;
    X11ClipboardServer& operator=(const X11ClipboardServer&) = delete;

    bool isAvailable() const;
    // The X window the selection is held with.
    unsigned long windowId() const;
    // Serves `contents` from now on; the selection is taken on the server's thread right after. They count
    // as held (contents()) at once.
    void serve(ClipboardSnapshot contents);
    // Lets the contents go at once: this process is putting something else on the selection.
    void release();
    // The contents while the selection is still ours; nullopt once another client has taken it. The bytes
    // are shared, not copied.
    std::optional<ClipboardSnapshot> contents() const;

private:
    class Loop;
    std::unique_ptr<SerialQueue> m_queue;
    std::shared_ptr<Loop> m_loop;
};
