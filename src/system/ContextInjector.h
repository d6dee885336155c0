#pragma once

#include "model/ActiveScreenContext.h"
#include "platform/Accessibility.h"
#include "platform/Clipboard.h"
#include "platform/InputSynth.h"
#include "platform/Workspace.h"
#include "system/SyntheticKeyLedger.h"
#include "util/Scheduler.h"
#include "util/SerialQueue.h"

#include <QCoroTask>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class DictationTrace;
class QObject;

// Reads the target of a dictation (frontmost application, focused field, selection, text before the caret)
// and puts text into it by keystrokes or by pasting, keeping the user's clipboard. Nothing is cached: every
// call asks the desktop afresh. Every operation that posts keys or reads the focused element first checks
// Accessibility trust and silently does nothing without it; password fields are never read.
//
// Threads: capture, reading, key posting and the caret lookup are safe from any thread. Clipboard work
// (paste, safety clipboard) is main-thread only. The coroutines wait through the scheduler and run on the
// main thread; code off the main thread uses the ...Now variants, which never wait.
class ContextInjector final {
public:
    // A panel below the caret sits this far under the caret's bottom edge.
    static constexpr qreal kPillCaretGap = 10;
    static constexpr int kMaxWindowTitleLength = 100;
    static constexpr int kMaxSelectedTextLength = 1200;
    static constexpr int kPrecedingTextLength = 140;
    // Typed text goes out in pieces of at most this many UTF-16 code units, never split inside a character.
    static constexpr int kTypingChunkCodeUnits = 12;
    // Long Delete runs pause after every 14th press so the target keeps up.
    static constexpr int kBackspacePauseEvery = 14;
    static constexpr Duration kBackspacePause = std::chrono::microseconds(1200);
    // Time the editor gets to insert its own list marker after a line break before we look.
    static constexpr Duration kListMarkerSettle = std::chrono::milliseconds(10);
    // The clipboard goes back no earlier than this after the paste keystroke, once the target has taken
    // the pasted data, and no later than kClipboardRestoreLimit when the target never asks.
    static constexpr Duration kClipboardRestoreDelay = seconds(0.16);
    static constexpr Duration kClipboardRestoreLimit = seconds(1.0);
    static constexpr Duration kClipboardRequestPoll = std::chrono::milliseconds(20);

    struct ScreenArea {
        QRectF geometry;
        QRectF availableGeometry; // without panels and docks
    };
    // The screens, the primary one first.
    using ScreenLayoutProvider = std::function<QList<ScreenArea>()>;
    using CaretOriginProvider = std::function<std::optional<QPointF>(QSizeF pillSize)>;

    // Main thread. Hands the ledger every key the synthesiser posts, so the key monitor can drop our own
    // keys. Without a screen provider the application's screens are used (a copy kept current on the main
    // thread, since the caret lookup runs elsewhere).
    ContextInjector(Accessibility& accessibility, InputSynth& inputSynth, Clipboard& clipboard,
                    Workspace& workspace, Scheduler& scheduler, SyntheticKeyLedger& ledger,
                    ScreenLayoutProvider screens = {});
    ~ContextInjector();
    ContextInjector(const ContextInjector&) = delete;
    ContextInjector& operator=(const ContextInjector&) = delete;

    Scheduler& scheduler() const { return m_scheduler; }
    // Where the paste and the target's request for the pasted data are marked; none without tracing.
    void setDictationTrace(DictationTrace* trace) { m_trace = trace; }
    // The one queue the live-typing pacers of all sessions tick on (label "org.quorbell.typewriter.pacer").
    // Shared with the sessions, so a session that outlives the injector still finds it, stopped.
    const std::shared_ptr<SerialQueue>& pacerQueue() const { return m_pacerQueue; }
    // Lets a tick in flight finish; no pacer tick runs after this. The destructor does it too.
    void stopLiveTyping() { m_pacerQueue->stop(); }

    // --- The target ---

    ActiveScreenContext captureCurrentContext();
    bool isAccessibilityTrusted(bool promptIfNeeded = false);
    bool isLikelyEditableFocusNow();
    // Every target is allowed.
    static bool isAllowedTarget(const QString& bundleID, const QString& appName);
    std::optional<FrontmostApplication> frontmostApplication();
    // Whether the frontmost application is a shell terminal: it pastes with Ctrl+Shift+V and has no
    // select-all (Ctrl+A moves to the start of the line there).
    bool isTerminalFrontmost();

    // Where a pill of `pillSize` sits centred kPillCaretGap below the focused caret: its top-left corner in
    // global screen coordinates, clamped to the visible area of the caret's screen; nullopt when the caret
    // cannot be located. Any thread; blocks for the Accessibility time-outs at most.
    std::optional<QPointF> focusedCaretOrigin(QSizeF pillSize);
    // focusedCaretOrigin as the pill controller takes it. The injector must outlive the provider.
    CaretOriginProvider caretOriginProvider();
    // The placement rule alone. A caret rectangle lower than 4 or taller than 140, or at (0, 0), is not
    // believed. The screen is the first whose frame holds the caret's centre, else the first screen.
    static std::optional<QPointF> pillOriginBelowCaret(const QRect& caret, QSizeF pillSize,
                                                       const QList<ScreenArea>& screens);

    // The focused element's value; nullopt without trust, for a password field or when unreadable.
    std::optional<QString> readCurrentFocusedValue();

    // --- Keys ---

    // One line as Unicode key events, in chunks of at most kTypingChunkCodeUnits on character boundaries.
    void typeRawUnicodeLine(const QString& text);
    // Line breaks become Shift+Return; a list marker the editor inserted by itself after a line break is not
    // typed twice (it waits kListMarkerSettle and reads the field to find out).
    QCoro::Task<> typeCleanUnicode(QString text);
    // typeCleanUnicode without the list-marker check, so it never waits. Text of at most two characters
    // cannot hold a line break followed by a marker, so for it the two are the same.
    void typeCleanUnicodeNow(const QString& text);
    // Text that begins right after a line break: its leading list marker is skipped when the editor already
    // inserted it.
    QCoro::Task<> typePostNewlineSkippingEditorAutoMarker(QString text);
    // Turns the already typed `from` into `to`: Delete back to the common prefix, then type the rest.
    QCoro::Task<> applyCleanUnicodeDelta(QString from, QString to);
    // Delete `count` times, pausing kBackspacePause after every kBackspacePauseEvery-th press.
    QCoro::Task<> sendCleanBackspaces(int count);
    // Delete `count` times without pausing; for short runs off the main thread.
    void sendBackspacesNow(int count);
    // Shift+Return.
    void sendLineBreak();
    // Ctrl+A. False (and nothing pressed) without trust or in a terminal, where it would not select.
    bool sendSelectAllEvent();
    // Shift+Left `count` times. False (and nothing pressed) without trust or in a terminal.
    bool selectLeftCharacters(int count);

    // --- Clipboard (main thread) ---

    // Puts the text on the clipboard, pastes it (Ctrl+V; Ctrl+Shift+V in a terminal) and puts the previous
    // contents back with every format: once the target has asked for the pasted text (never before
    // kClipboardRestoreDelay) or at kClipboardRestoreLimit, and only while the pasted text is still ours,
    // so a copy made meanwhile survives. An empty clipboard stays with the pasted text.
    void pasteViaClipboardPreservingSnapshot(const QString& text);
    // The same; the context is not needed.
    void injectTextAtCursor(const QString& text, const std::optional<ActiveScreenContext>& context = {});
    // Leaves the text on the clipboard as plain text (no trust needed); an empty text does nothing.
    void saveToSafetyClipboard(const QString& text);
    bool hasPendingClipboardRestore() const;

    // --- List markers ---

    // A number with a full stop, or "-", "*" or "•", with the white space after it, at the start of the text.
    static std::optional<QString> extractLeadingListMarker(const QString& text);
    // A line whose marker is written twice in `text` and nowhere in `expected`.
    static bool containsDuplicatedListMarker(const QString& text, const QString& expected);
    // Each doubled line marker becomes one marker and one space, keeping the indentation.
    static QString collapseDuplicatedListMarkers(const QString& text);

private:
    struct PendingRestore {
        ClipboardSnapshot snapshot; // what the user had before our paste
        MonotonicTime pastedAt;
        ScheduledWork check;
    };
    class ScreenCache;

    bool isTrusted() { return m_accessibility.isTrusted(); }
    // The marker rule for one piece that follows a line break.
    QCoro::Task<> typeSkippingEditorMarker(QString piece);
    void checkClipboardRestore();
    QList<ScreenArea> screens() const;

    Accessibility& m_accessibility;
    InputSynth& m_inputSynth;
    Clipboard& m_clipboard;
    Workspace& m_workspace;
    Scheduler& m_scheduler;
    ScreenLayoutProvider m_screens;
    std::unique_ptr<ScreenCache> m_screenCache;
    std::unique_ptr<PendingRestore> m_pendingRestore; // main thread only
    std::shared_ptr<SerialQueue> m_pacerQueue;
    DictationTrace* m_trace = nullptr;
};
