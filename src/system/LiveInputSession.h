#pragma once

#include "model/ActiveScreenContext.h"
#include "util/Scheduler.h"
#include "util/SerialQueue.h"
#include "util/Status.h"

#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

class ContextInjector;
class KeyTarget;

// Live typing for one dictation: types the stable part of each partial transcript into the target at an
// even pace, takes back a few characters when a cloud recogniser revises its words, streams the polished
// answer over the draft, and finally puts the finished text in place of the draft (or on the clipboard when
// no text input can take it).
//
// Threads: the public operations run on the main thread; pacer ticks run on the injector's typing queue, and
// so do the keys and reads of the coroutines, which only await them. The state lock guards every text and
// flag a tick reads; no key is posted and nothing waits with it held. The coroutines (stream, finish,
// cancel) run one at a time in call order, each after the pacer has stopped and a tick already running has
// finished, so no two insertions ever reach the field at once.
//
// A keystroke that could not be posted ends the typing: nothing more is typed, and the final text is left
// on the clipboard instead.
//
// Keys go only to the window that had the keyboard focus when the session was created. Once the focus has
// left it, nothing more is typed anywhere (not even should the focus come back), and the final text goes in
// as one paste where the focus is then (a terminal takes a paste without running it), or onto the clipboard
// when nothing there takes text. A terminal gets nothing typed at all: its text is one paste at the end, as
// without live typing, so no line break ever reaches it as Return.
class LiveInputSession final : public std::enable_shared_from_this<LiveInputSession> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    static constexpr Duration kPacerFirstTick = std::chrono::milliseconds(4);
    static constexpr Duration kPacerInterval = std::chrono::milliseconds(6);
    // A revision of more characters than this (or across a line break) is left for the final reconciliation.
    static constexpr int kMaxLiveRevision = 6;
    // A stream with nothing in common with a draft longer than this replaces it by select-all.
    static constexpr int kSelectAllEraseThreshold = 14;
    // After a streamed line break, up to this many characters that could be a list marker are held back.
    static constexpr int kGuardHoldLength = 4;
    static constexpr Duration kStreamEditSettle = std::chrono::milliseconds(4);
    static constexpr Duration kReconcileSettle = std::chrono::milliseconds(12);
    static constexpr Duration kSelectAllSettle = std::chrono::milliseconds(6);

    // Starts the pacer at once. A `context` of nullopt means the background capture has not decided yet:
    // partials are taken but nothing is typed until updateContext() brings the context, and never while
    // that context has a selection (typing would replace it). The frontmost window now is the target that
    // cancel() erases in. Main thread.
    static std::shared_ptr<LiveInputSession> create(ContextInjector& injector,
                                                    std::optional<ActiveScreenContext> context);
    LiveInputSession(Passkey, ContextInjector& injector, std::optional<ActiveScreenContext> context);
    ~LiveInputSession(); // cancels the pacer's timer
    LiveInputSession(const LiveInputSession&) = delete;
    LiveInputSession& operator=(const LiveInputSession&) = delete;

    // One partial hypothesis. `flushTrailingChar` takes it all as stable; `isCloudStream` says it comes from
    // the cloud streaming recogniser, whose target may be rewritten near its end. False only without
    // Accessibility trust.
    bool updateLiveText(const QString& text, bool flushTrailingChar, bool isCloudStream);
    // What this session has typed into the field so far (its emittedText).
    QString currentText() const;
    // What the field is to show; the pacer types towards it.
    QString targetConfirmedText() const;
    void updateContext(const ActiveScreenContext& context);
    // The decided context, or ActiveScreenContext::empty() while undecided.
    ActiveScreenContext context() const;
    bool isContextDecided() const;
    // The keyboard focus left the window the session types into, so live typing stopped there.
    bool hasLostTargetWindow() const;

    // Stops the pacer, types what is still pending and remembers the field's text as the draft. Whether the
    // stream may be typed into the field.
    QCoro::Task<bool> prepareForSSEPolishStream();
    // One streamed piece of the polished answer: silent while it repeats the draft, then erases back to the
    // common part once and types every further piece, holding possible list markers after line breaks.
    QCoro::Task<> consumeSSEChunk(QString piece);
    // Reconciles the field with the final polished text after a stream. False when the text was left on the
    // clipboard because keys could not be posted (or the session had ended).
    QCoro::Task<bool> finishSSEPolishStream(QString finalText);
    // Puts the final text in place of the draft when there was no stream. False when it was only left on the
    // clipboard (or the session had ended).
    QCoro::Task<bool> finalizeAfterKeyRelease(QString finalText);
    // The dictation was cancelled: stops the pacer, lets a tick in flight finish, then erases what was typed,
    // only while the target window is still in front. Later operations do nothing.
    QCoro::Task<> cancel();

    // How much of a local hypothesis is safe to type: the last character is held back unless flushed.
    static QString computeLocalAgreement(const QString& prev, const QString& curr, bool fastFirstSyllable,
                                         bool flushTrailingChar);
    // What the new stable text adds after the already confirmed text, aligned by letters and digits when the
    // two differ; nullopt when it adds nothing.
    static std::optional<QString> extractNewContinuationSuffix(const QString& alreadyConfirmed,
                                                               const QString& newStable);
    // Removes trailing sentence punctuation, ellipses and spaces, which a recogniser often revises.
    static QString stripUnstableTrailingPunctuation(const QString& text);
    // A character with a letter, mark or digit of any script in it.
    static bool isCoreChar(QStringView character);
    static QString alphanumericOnly(QStringView text);

private:
    // Serialises the coroutines in call order on the main thread.
    class OutputTurn {
    public:
        struct Awaiter {
            OutputTurn& turn;
            bool await_ready() const noexcept;
            void await_suspend(std::coroutine_handle<> handle);
            void await_resume() const noexcept {}
        };
        explicit OutputTurn(Scheduler& scheduler) : m_scheduler(scheduler) {}
        Awaiter acquire() { return Awaiter{*this}; }
        void release();

    private:
        Scheduler& m_scheduler;
        bool m_busy = false;
        std::deque<std::coroutine_handle<>> m_waiting;
    };
    struct TurnGuard {
        OutputTurn& turn;
        ~TurnGuard() { turn.release(); }
    };

    void startSmoothTypewriterPacer();
    void queueTick();
    void tickAdaptiveCruiseStep();
    // Stops the timer; from then on no tick types. Resumes once a tick already running has finished.
    QCoro::Task<> stopPacer();
    QCoro::Task<> emitSSEDeltaGuardingAutoList(QString delta);
    // Types `plain`, then the text `held` back after a line break; false when keys could not be posted.
    QCoro::Task<bool> typeThenHeld(QString plain, QString held);
    QCoro::Task<> flushPostNewlineGuardBufferIfAny();
    bool typingAllowedLocked() const;
    // Remembers the first failed keystroke; whether `status` is a success. Keys refused because the focus
    // left the target window are no failure: the finish then pastes.
    bool noteTyped(const Status& status);
    bool hasTypingFailed() const;
    // Whether keys may still be typed: none failed and the focus never left the target window.
    bool canType() const;
    // The final text could not be typed: it is left on the clipboard.
    bool leaveOnClipboard(const QString& finalText);
    // The user moved away: the final text goes in as one paste where the focus is now, when a text input
    // may be there, else onto the clipboard. Typing stopped for good, so the draft is left as it is.
    QCoro::Task<bool> pasteWhereTheFocusIs(QString finalText);
    // Keys stopped before the final text was in: pasted elsewhere if the focus left, else on the clipboard.
    QCoro::Task<bool> endWithoutTyping(QString finalText);

    ContextInjector& m_injector;
    Scheduler& m_scheduler;
    const std::shared_ptr<SerialQueue> m_pacerQueue; // the injector's
    const std::weak_ptr<const void> m_injectorLifetime;

    // The window in front when the session was created; every key of the session is meant for it.
    const std::shared_ptr<KeyTarget> m_keyTarget;

    mutable std::mutex m_stateLock;
    std::optional<QString> m_typingFailure; // the first keystroke that could not be posted
    ActiveScreenContext m_context;
    bool m_contextDecided = false;
    QString m_emittedText;
    QString m_targetConfirmedText;
    QString m_previousHypothesis;
    std::optional<MonotonicTime> m_lastEmit; // the pacer's last keystroke action
    QString m_draftBeforeSSE;
    QString m_sseAccumulated;
    bool m_sseHasDiverged = false;
    std::optional<QString> m_postNewlineGuardBuffer;
    bool m_pacerStopped = false;
    ScheduledWork m_pacerStart;
    ScheduledWork m_pacerTimer;

    // Main thread only.
    bool m_pacerDrained = false;
    bool m_ended = false; // finished or cancelled
    OutputTurn m_turn;
};
