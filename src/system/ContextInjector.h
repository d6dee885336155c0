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
#include <atomic>
#include <coroutine>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

class DictationTrace;
class QObject;

// The window one dictation types into, taken when the dictation starts. Keys posted for it go out only while
// that window still holds the keyboard focus: the typing queue checks right before each batch (a chunk of
// text, a chord, a run of Delete presses), so a key can never follow the focus further than one batch. The
// first batch that finds the focus elsewhere is not posted, and from then on nothing is posted for the
// target, even should the focus come back.
class KeyTarget {
public:
    // The focus left the window; any thread.
    bool hasLostFocus() const { return m_lost.load(); }
    // The window is a terminal's, which takes text only as a paste; any thread, known before any batch for
    // the target runs.
    bool isTerminal() const { return m_terminal.load(); }

private:
    friend class ContextInjector;
    std::atomic<bool> m_lost = false;
    std::atomic<bool> m_terminal = false;
    // Written once on the typing queue, before any batch for the target; read there only.
    std::optional<FrontmostApplication> m_application;
    quint64 m_window = 0; // 0: the desktop does not tell, the application is compared instead
};

// Reads the target of a dictation (frontmost application, focused field, selection, text before the caret)
// and puts text into it by keystrokes or by pasting, keeping the user's clipboard. Nothing is cached: every
// call asks the desktop afresh. Every operation that posts keys or reads the focused element first checks
// Accessibility trust; without it nothing is posted (and the keystroke operations report so) and nothing is
// read. Password fields are never read.
//
// Threads: asking the desktop (keys, the focused element, the frontmost window) waits on other processes, so
// the main thread never does it itself. The blocking operations (capture, the reads, the ...Now key variants,
// the caret lookup) are for other threads. The coroutines are for the main thread: each hands its keys and
// reads to the typing queue (the pacer queue, so they are never interleaved with a pacer tick), waits
// through the scheduler, and resumes on the scheduler's thread. Clipboard work itself is main-thread only.
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
    // A snapshot read ahead of a paste that does not come is let go after this, so the user's clipboard is
    // not kept in memory for nothing; a paste after it reads again.
    static constexpr Duration kPrefetchedSnapshotKept = seconds(30.0);

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
    // Told, on the main thread, when a paste could not keep the user's clipboard: with the reason, and
    // whether nothing of it was kept (the pasted text then stays there) or only some formats were lost.
    using ClipboardNotKeptHandler = std::function<void(const QString& reason, bool nothingKept)>;
    void setClipboardNotKeptHandler(ClipboardNotKeptHandler handler)
    {
        m_clipboardNotKept = std::move(handler);
    }
    // The typing queue (label "org.quorbell.typewriter.pacer"): the live-typing pacers of all sessions tick
    // on it, and the coroutines post their keys and reads on it, so everything typed keeps its order. Shared
    // with the sessions, so a session that outlives the injector still finds it, stopped.
    const std::shared_ptr<SerialQueue>& pacerQueue() const { return m_pacerQueue; }
    // Expires when the injector goes: work resumed later from the typing queue checks it first.
    std::weak_ptr<const void> lifetime() const { return m_lifetime; }
    // Lets the work in flight on the typing queue finish; nothing runs there after this. The destructor does
    // it too.
    void stopLiveTyping() { m_pacerQueue->stop(); }

    // --- The target (blocking: not on the main thread) ---

    ActiveScreenContext captureCurrentContext();
    bool isAccessibilityTrusted(bool promptIfNeeded = false);
    bool isLikelyEditableFocusNow();
    // Every target is allowed.
    static bool isAllowedTarget(const QString& bundleID, const QString& appName);
    std::optional<FrontmostApplication> frontmostApplication();
    // Whether the frontmost application is a shell terminal: it pastes with Ctrl+Shift+V and has no
    // select-all (Ctrl+A moves to the start of the line there).
    bool isTerminalFrontmost();
    // Whether keys for `target` may go out now: its window still holds the keyboard focus. A null target
    // is any window. The typing queue only.
    bool keysReachTarget(KeyTarget* target);

    // Where a pill of `pillSize` sits centred kPillCaretGap below the focused caret: its top-left corner in
    // global screen coordinates, clamped to the visible area of the caret's screen; nullopt when the caret
    // cannot be located. Any thread; blocks for the Accessibility time-outs at most.
    std::optional<QPointF> focusedCaretOrigin(QSizeF pillSize);
    // focusedCaretOrigin as the pill controller takes it. The injector must outlive the provider.
    CaretOriginProvider caretOriginProvider();
    // The placement rule alone. A caret rectangle lower than 4 or taller than 140, or at (0, 0), is not
    // believed. The screen is the first whose frame holds the unclamped pill's bottom-left corner, else the
    // first screen (the primary one).
    static std::optional<QPointF> pillOriginBelowCaret(const QRect& caret, QSizeF pillSize,
                                                       const QList<ScreenArea>& screens);

    // The focused element's value; nullopt without trust, for a password field or when unreadable.
    std::optional<QString> readCurrentFocusedValue();

    // The reads the main thread needs, as coroutines: they run on the typing queue, after the keys queued
    // before them.
    QCoro::Task<std::optional<QString>> readCurrentFocusedValueAsync();
    QCoro::Task<bool> isLikelyEditableFocusAsync();
    QCoro::Task<std::optional<FrontmostApplication>> frontmostApplicationAsync();
    // The window that has the keyboard focus now, as the target of the keys of one dictation; it is learnt
    // on the typing queue, before any key that names it. Main thread.
    std::shared_ptr<KeyTarget> targetFocusedWindow();

    // --- Keys, blocking (the typing queue, or another thread that is not the main one) ---
    // With a `target`, each batch goes out only while its window holds the focus; the first batch that finds
    // the focus elsewhere posts nothing and fails, and the target then says it lost the focus.

    // One line as Unicode key events, in chunks of at most kTypingChunkCodeUnits on character boundaries.
    Status typeRawUnicodeLine(const QString& text);
    // Line breaks become Shift+Return; no list-marker check, so it never waits on the scheduler.
    Status typeCleanUnicodeNow(const QString& text, KeyTarget* target = nullptr);
    // Delete `count` times without pausing, for short runs.
    Status sendBackspacesNow(int count, KeyTarget* target = nullptr);
    // Readies the keys of text about to be typed (InputSynth::prepareToType); posts nothing.
    Status prepareToTypeNow(const QString& upcoming);

    // --- Keys from the main thread: posted on the typing queue; each reports the first failure ---
    // Keys for a `target` go out only while its window holds the focus (see KeyTarget); without one they go
    // to whatever window has the focus.

    // Line breaks become Shift+Return; a list marker the editor inserted by itself after a line break is not
    // typed twice (it waits kListMarkerSettle and reads the field to find out).
    QCoro::Task<Status> typeCleanUnicode(QString text, std::shared_ptr<KeyTarget> target = {});
    // typeCleanUnicode without the list-marker check, in one go. Text of at most two characters cannot hold
    // a line break followed by a marker, so for it the two are the same.
    QCoro::Task<Status> typeCleanUnicodeAsIs(QString text, std::shared_ptr<KeyTarget> target = {});
    // Text that begins right after a line break: its leading list marker is skipped when the editor already
    // inserted it.
    QCoro::Task<Status> typePostNewlineSkippingEditorAutoMarker(QString text,
                                                                std::shared_ptr<KeyTarget> target = {});
    // Turns the already typed `from` into `to`: Delete back to the common prefix, then type the rest.
    QCoro::Task<Status> applyCleanUnicodeDelta(QString from, QString to,
                                               std::shared_ptr<KeyTarget> target = {});
    // Delete `count` times, pausing kBackspacePause after every kBackspacePauseEvery-th press.
    QCoro::Task<Status> sendCleanBackspaces(int count, std::shared_ptr<KeyTarget> target = {});
    // Ctrl+A. False (and nothing pressed) without trust or in a terminal, where it would not select; false
    // too when the keys could not be posted.
    QCoro::Task<bool> sendSelectAllEvent(std::shared_ptr<KeyTarget> target = {});
    // Shift+Left `count` times. False (and nothing pressed) without trust or in a terminal; false too when
    // the keys could not be posted.
    QCoro::Task<bool> selectLeftCharacters(int count, std::shared_ptr<KeyTarget> target = {});

    // --- Clipboard (main thread) ---

    // Starts reading the user's clipboard for a paste that is likely soon, so the paste finds it read
    // instead of waiting for the clipboard's owner to hand over every format. A copy made after the read
    // began makes the paste read again.
    void prefetchClipboardSnapshot();

    // Puts the text on the clipboard, pastes it with the keys PastePolicy names for the frontmost window
    // (Ctrl+V; Ctrl+Shift+V in a terminal; Shift+Insert in the xterm family, which reads the PRIMARY
    // selection, so the text is put there too) and puts the previous contents of both back with every
    // format: once the target has asked for the pasted text (never before kClipboardRestoreDelay) or at
    // kClipboardRestoreLimit, and only while the pasted text is still ours, so a copy or selection made
    // meanwhile survives. An empty clipboard stays with the pasted text. When the paste keys cannot be
    // posted, the text stays on the clipboard, PRIMARY is given back and the failure is returned.
    QCoro::Task<Status> pasteViaClipboardPreservingSnapshot(QString text);
    // The same; the context is not needed.
    QCoro::Task<Status> injectTextAtCursor(QString text, std::optional<ActiveScreenContext> context = {});
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
        quint64 id = 0;
        ClipboardSnapshot snapshot; // what the user had before our paste; empty: nothing to give back
        // What the PRIMARY selection held before a paste through it; nullopt when the paste did not use it.
        std::optional<ClipboardSnapshot> primarySnapshot;
        bool pastedFromPrimary = false; // the target's request for the text comes on PRIMARY
        MonotonicTime pastedAt;
        ScheduledWork check; // scheduled once the paste keys are out
    };
    class ScreenCache;
    // One read of the clipboard for a paste; the pastes waiting for it resume once it is in.
    struct SnapshotRead {
        quint64 changeCount = 0; // the clipboard's, when the read began
        std::optional<ClipboardSnapshot> snapshot;
        std::vector<std::coroutine_handle<>> waiters;
    };
    struct SnapshotReady {
        std::shared_ptr<SnapshotRead> read;
        bool await_ready() const noexcept { return read->snapshot.has_value(); }
        void await_suspend(std::coroutine_handle<> handle) { read->waiters.push_back(handle); }
        void await_resume() const noexcept {}
    };

    // co_await onTypingQueue(work): `work` runs on the typing queue after everything queued there before
    // it, and the coroutine resumes on the scheduler's thread with its result. Once the injector is gone the
    // coroutine is never resumed (its frame is left, as at quit); a stopped queue runs no more work.
    template <typename T> class QueuedCall {
    public:
        QueuedCall(ContextInjector& injector, std::function<T()> work)
            : m_queue(*injector.m_pacerQueue), m_scheduler(injector.m_scheduler),
              m_lifetime(injector.m_lifetime), m_work(std::move(work))
        {
        }
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            m_queue.async([this, handle] {
                m_result.emplace(m_work());
                std::weak_ptr<const void> lifetime = m_lifetime;
                m_scheduler.schedule(Duration::zero(), [lifetime, handle] {
                    if (!lifetime.expired())
                        handle.resume();
                });
            });
        }
        T await_resume() { return std::move(*m_result); }

    private:
        SerialQueue& m_queue;
        Scheduler& m_scheduler;
        std::weak_ptr<const void> m_lifetime;
        std::function<T()> m_work;
        std::optional<T> m_result; // written on the queue, read after the resume
    };
    template <typename Work> QueuedCall<std::invoke_result_t<Work>> onTypingQueue(Work work)
    {
        return {*this, std::move(work)};
    }

    bool isTrusted() { return m_accessibility.isTrusted(); }
    // The two below skip the trust check their callers made.
    Status typeLineInChunks(const QString& text, KeyTarget* target = nullptr);
    Status typeLinesNow(const QString& text, KeyTarget* target = nullptr);
    // The marker rule for one piece that follows a line break.
    QCoro::Task<Status> typeSkippingEditorMarker(QString piece, std::shared_ptr<KeyTarget> target);
    void checkClipboardRestore();
    // Puts the user's PRIMARY selection back at once, while the pasted text there is still ours.
    void restorePrimaryNow(PendingRestore& pending);
    void startSnapshotRead();
    // What the user has on the clipboard, from a read that began after the last change.
    QCoro::Task<ClipboardSnapshot> userClipboardSnapshot();
    QList<ScreenArea> screens() const;

    Accessibility& m_accessibility;
    InputSynth& m_inputSynth;
    Clipboard& m_clipboard;
    Workspace& m_workspace;
    Scheduler& m_scheduler;
    ScreenLayoutProvider m_screens;
    std::unique_ptr<ScreenCache> m_screenCache;
    std::unique_ptr<PendingRestore> m_pendingRestore; // main thread only
    quint64 m_lastRestoreId = 0;                      // main thread only
    std::shared_ptr<SnapshotRead> m_snapshotRead;     // main thread only
    ScheduledWork m_snapshotRelease;
    std::shared_ptr<const void> m_lifetime = std::make_shared<int>(0);
    std::shared_ptr<SerialQueue> m_pacerQueue;
    DictationTrace* m_trace = nullptr;
    ClipboardNotKeptHandler m_clipboardNotKept;
};
