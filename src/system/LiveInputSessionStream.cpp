// The end of a live-typing session: the polished stream over the draft, the final text, and cancel.
#include "system/LiveInputSession.h"

#include "system/ContextInjector.h"
#include "system/GraphemeDiff.h"
#include "util/Text.h"

namespace {

// Resumes the awaiting coroutine on the scheduler's thread once everything queued on the pacer queue before
// it (a tick in flight above all) has run.
// Never resumes once the injector is gone: the coroutine would go on through it.
class PacerDrain {
public:
    PacerDrain(SerialQueue& queue, Scheduler& scheduler, std::weak_ptr<const void> injectorLifetime)
        : m_queue(queue), m_scheduler(scheduler), m_injectorLifetime(std::move(injectorLifetime))
    {
    }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        Scheduler* scheduler = &m_scheduler;
        m_queue.async([scheduler, handle, lifetime = m_injectorLifetime] {
            scheduler->schedule(Duration::zero(), [handle, lifetime] {
                if (!lifetime.expired())
                    handle.resume();
            });
        });
    }
    void await_resume() const noexcept {}

private:
    SerialQueue& m_queue;
    Scheduler& m_scheduler;
    std::weak_ptr<const void> m_injectorLifetime;
};

// What may follow a streamed line break and still turn out to be a list marker the editor inserted itself.
bool couldBeListMarker(const QString& held)
{
    if (Text::graphemeCount(held) > LiveInputSession::kGuardHoldLength)
        return false;
    for (const QString& character : Text::graphemes(held)) {
        const QList<uint> scalars = character.toUcs4();
        if (scalars.size() != 1)
            return false;
        const char32_t c = scalars.first();
        if (!QChar::isNumber(c) && c != U'.' && c != U'-' && c != U'*' && c != U'•' && c != U' ')
            return false;
    }
    return true;
}

} // namespace

// --- Turn-taking ---

bool LiveInputSession::OutputTurn::Awaiter::await_ready() const noexcept
{
    if (turn.m_busy)
        return false;
    turn.m_busy = true;
    return true;
}

void LiveInputSession::OutputTurn::Awaiter::await_suspend(std::coroutine_handle<> handle)
{
    turn.m_waiting.push_back(handle);
}

void LiveInputSession::OutputTurn::release()
{
    if (m_waiting.empty()) {
        m_busy = false;
        return;
    }
    // The turn passes straight on; the next one resumes on a later turn of the loop, not inside this one.
    const std::coroutine_handle<> next = m_waiting.front();
    m_waiting.pop_front();
    m_scheduler.schedule(Duration::zero(), [next] { next.resume(); });
}

// --- Stopping the pacer ---

QCoro::Task<> LiveInputSession::stopPacer()
{
    ScheduledWork start;
    ScheduledWork timer;
    {
        std::lock_guard lock(m_stateLock);
        m_pacerStopped = true;
        start = std::move(m_pacerStart);
        timer = std::move(m_pacerTimer);
    }
    start.cancel();
    timer.cancel();
    if (!m_pacerDrained) {
        co_await PacerDrain(*m_pacerQueue, m_scheduler, m_injectorLifetime);
        m_pacerDrained = true;
    }
}

// --- The stream ---

QCoro::Task<bool> LiveInputSession::prepareForSSEPolishStream()
{
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await stopPacer();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    // Nothing streams into a terminal (its text is one paste at the end) or after the focus left.
    if (m_ended || !canType() || m_keyTarget->isTerminal())
        co_return false;

    QString pending;
    {
        std::lock_guard lock(m_stateLock);
        if (typingAllowedLocked() && m_targetConfirmedText != m_emittedText &&
            GraphemeDiff::hasPrefix(m_targetConfirmedText, m_emittedText)) {
            pending = m_targetConfirmedText.sliced(m_emittedText.size());
            m_emittedText = m_targetConfirmedText;
        }
    }
    if (!pending.isEmpty()) {
        const Status typed = co_await m_injector.typeCleanUnicode(pending, m_keyTarget);
        if (!noteTyped(typed))
            co_return false;
    }

    bool decided = false;
    ActiveScreenContext context;
    {
        std::lock_guard lock(m_stateLock);
        m_draftBeforeSSE = m_emittedText;
        m_sseAccumulated.clear();
        m_sseHasDiverged = false;
        m_postNewlineGuardBuffer.reset();
        decided = m_contextDecided;
        context = m_context;
    }
    if (!m_injector.isAccessibilityTrusted())
        co_return false;
    if (decided && !context.selectedText.isEmpty())
        co_return false; // the stream would type over the selection
    if (decided && context.hasFocusedTextInput)
        co_return true;
    const bool result = co_await m_injector.isLikelyEditableFocusAsync();
    co_return result;
}

QCoro::Task<> LiveInputSession::consumeSSEChunk(QString piece)
{
    if (piece.isEmpty())
        co_return;
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    if (m_ended || !canType())
        co_return;

    QString draft;
    QString delta;
    int common = 0;
    int erase = 0;
    {
        std::lock_guard lock(m_stateLock);
        m_sseAccumulated += piece;
        if (m_sseHasDiverged) {
            m_emittedText += piece;
            m_targetConfirmedText = m_emittedText;
            delta = piece;
        } else if (GraphemeDiff::hasPrefix(m_draftBeforeSSE, m_sseAccumulated)) {
            co_return; // the model repeats what is already in the field
        } else {
            m_sseHasDiverged = true;
            const GraphemeDiff::CommonPrefix prefix =
                GraphemeDiff::commonPrefix(m_draftBeforeSSE, m_sseAccumulated);
            common = prefix.characters;
            erase = Text::graphemeCount(m_draftBeforeSSE) - prefix.characters;
            delta = m_sseAccumulated.sliced(prefix.codeUnits);
            m_emittedText = m_sseAccumulated;
            m_targetConfirmedText = m_sseAccumulated;
            draft = m_draftBeforeSSE;
        }
    }

    if (erase > 0) {
        bool replacedBySelection = false;
        if (common == 0 && erase > kSelectAllEraseThreshold) {
            // One select-all instead of a long Delete run, when the field holds exactly the draft.
            const std::optional<QString> value = co_await m_injector.readCurrentFocusedValueAsync();
            if (value && Text::trimmed(*value) == Text::trimmed(draft))
                replacedBySelection = co_await m_injector.sendSelectAllEvent(m_keyTarget);
            if (replacedBySelection) {
                co_await sleepFor(m_scheduler, kStreamEditSettle);
                if (delta.isEmpty()) { // otherwise typing the delta replaces the selection
                    const Status erased = co_await m_injector.sendCleanBackspaces(1, m_keyTarget);
                    if (!noteTyped(erased))
                        co_return;
                }
            }
        }
        if (!replacedBySelection) {
            if (m_keyTarget->hasLostFocus())
                co_return;
            const Status erased = co_await m_injector.sendCleanBackspaces(erase, m_keyTarget);
            if (!noteTyped(erased))
                co_return;
            if (!delta.isEmpty())
                co_await sleepFor(m_scheduler, kStreamEditSettle);
        }
    }
    if (!delta.isEmpty())
        co_await emitSSEDeltaGuardingAutoList(delta);
}

QCoro::Task<> LiveInputSession::emitSSEDeltaGuardingAutoList(QString delta)
{
    // Characters typed as they come are gathered, line breaks included, and go out together.
    QString plain;
    for (const QString& character : Text::graphemes(delta)) {
        if (character == u"\n") {
            std::optional<QString> held;
            {
                std::lock_guard lock(m_stateLock);
                held = std::exchange(m_postNewlineGuardBuffer, QString());
            }
            if (held && !held->isEmpty()) {
                const bool typed = co_await typeThenHeld(std::exchange(plain, QString()), *held);
                if (!typed)
                    co_return;
            }
            plain += character; // Shift+Return
            continue;
        }
        std::optional<QString> release;
        bool holding = false;
        {
            std::lock_guard lock(m_stateLock);
            if (m_postNewlineGuardBuffer) {
                *m_postNewlineGuardBuffer += character;
                if (couldBeListMarker(*m_postNewlineGuardBuffer))
                    holding = true;
                else
                    release = std::exchange(m_postNewlineGuardBuffer, std::nullopt);
            }
        }
        if (holding)
            continue;
        if (release) {
            const bool typed = co_await typeThenHeld(std::exchange(plain, QString()), *release);
            if (!typed)
                co_return;
        } else {
            plain += character;
        }
    }
    const Status typed = co_await m_injector.typeCleanUnicodeAsIs(plain, m_keyTarget);
    noteTyped(typed);
}

QCoro::Task<bool> LiveInputSession::typeThenHeld(QString plain, QString held)
{
    const Status typed = co_await m_injector.typeCleanUnicodeAsIs(std::move(plain), m_keyTarget);
    if (!noteTyped(typed))
        co_return false;
    const Status heldTyped =
        co_await m_injector.typePostNewlineSkippingEditorAutoMarker(std::move(held), m_keyTarget);
    co_return noteTyped(heldTyped);
}

QCoro::Task<> LiveInputSession::flushPostNewlineGuardBufferIfAny()
{
    std::optional<QString> held;
    {
        std::lock_guard lock(m_stateLock);
        held = std::exchange(m_postNewlineGuardBuffer, std::nullopt);
    }
    if (held && !held->isEmpty() && canType()) {
        const Status typed = co_await m_injector.typePostNewlineSkippingEditorAutoMarker(*held, m_keyTarget);
        noteTyped(typed);
    }
}

bool LiveInputSession::leaveOnClipboard(const QString& finalText)
{
    m_injector.saveToSafetyClipboard(finalText);
    return false;
}

QCoro::Task<bool> LiveInputSession::pasteWhereTheFocusIs(QString finalText)
{
    // What the session knew of the target no longer holds: only the window in front now can say.
    const bool hasInput = co_await m_injector.isLikelyEditableFocusAsync();
    if (!hasInput)
        co_return leaveOnClipboard(finalText);
    // A failed paste leaves the text on the clipboard by itself.
    const Status pasted = co_await m_injector.pasteViaClipboardPreservingSnapshot(finalText);
    co_return pasted.ok;
}

QCoro::Task<bool> LiveInputSession::endWithoutTyping(QString finalText)
{
    if (m_keyTarget->hasLostFocus()) {
        const bool inserted = co_await pasteWhereTheFocusIs(std::move(finalText));
        co_return inserted;
    }
    co_return leaveOnClipboard(finalText);
}

QCoro::Task<bool> LiveInputSession::finishSSEPolishStream(QString finalText)
{
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await stopPacer();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    if (m_ended)
        co_return false;
    m_ended = true;

    co_await flushPostNewlineGuardBufferIfAny();
    if (!canType()) {
        const bool inserted = co_await endWithoutTyping(finalText);
        co_return inserted;
    }
    QString field;
    {
        std::lock_guard lock(m_stateLock);
        field = m_sseHasDiverged ? m_emittedText : m_draftBeforeSSE;
        m_emittedText = finalText;
        m_targetConfirmedText = finalText;
    }
    if (field != finalText) {
        const Status applied = co_await m_injector.applyCleanUnicodeDelta(field, finalText, m_keyTarget);
        if (!noteTyped(applied)) {
            const bool inserted = co_await endWithoutTyping(finalText);
            co_return inserted;
        }
    }

    if (!finalText.contains(u'\n'))
        co_return true;
    // An editor that continues lists by itself may have doubled a marker we typed after a line break.
    co_await sleepFor(m_scheduler, kReconcileSettle);
    const std::optional<QString> value = co_await m_injector.readCurrentFocusedValueAsync();
    if (!value || !ContextInjector::containsDuplicatedListMarker(*value, finalText))
        co_return true;
    const QString collapsed = ContextInjector::collapseDuplicatedListMarkers(*value);
    if (Text::trimmed(collapsed) != Text::trimmed(finalText))
        co_return true; // the field holds more than our text: leave it
    const bool selectedAll = co_await m_injector.sendSelectAllEvent(m_keyTarget);
    if (m_keyTarget->hasLostFocus())
        co_return true; // the text is in the field, only its markers doubled
    if (selectedAll) {
        co_await sleepFor(m_scheduler, kSelectAllSettle);
    } else {
        const Status erased =
            co_await m_injector.sendCleanBackspaces(Text::graphemeCount(*value), m_keyTarget);
        if (m_keyTarget->hasLostFocus())
            co_return true; // erased partly at most: the user went on elsewhere meanwhile
        if (!noteTyped(erased))
            co_return leaveOnClipboard(finalText);
    }
    const Status pasted = co_await m_injector.pasteViaClipboardPreservingSnapshot(finalText);
    co_return noteTyped(pasted);
}

// --- Without a stream ---

QCoro::Task<bool> LiveInputSession::finalizeAfterKeyRelease(QString finalText)
{
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await stopPacer();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    if (m_ended)
        co_return false;
    m_ended = true;

    bool decided = false;
    bool contextHasInput = false;
    QString emitted;
    {
        std::lock_guard lock(m_stateLock);
        decided = m_contextDecided;
        contextHasInput = m_context.hasFocusedTextInput;
        emitted = m_emittedText;
    }
    if (hasTypingFailed() || !m_injector.isAccessibilityTrusted())
        co_return leaveOnClipboard(finalText);
    if (m_keyTarget->hasLostFocus()) {
        const bool inserted = co_await pasteWhereTheFocusIs(finalText);
        co_return inserted;
    }
    if (!decided || !contextHasInput) {
        const bool hasInput = co_await m_injector.isLikelyEditableFocusAsync();
        if (!hasInput)
            co_return leaveOnClipboard(finalText);
    }

    if (!emitted.isEmpty()) {
        // One read serves both questions: is the draft still there, and is it all the field holds.
        const std::optional<QString> value = co_await m_injector.readCurrentFocusedValueAsync();
        // An unreadable field is taken to still hold the draft.
        if (!value || value->contains(emitted)) {
            if (finalText == emitted)
                co_return true;
            if (GraphemeDiff::hasPrefix(finalText, emitted) &&
                !finalText.sliced(emitted.size()).contains(u'\n')) {
                const Status typed =
                    co_await m_injector.typeCleanUnicode(finalText.sliced(emitted.size()), m_keyTarget);
                if (!noteTyped(typed)) {
                    const bool inserted = co_await endWithoutTyping(finalText);
                    co_return inserted;
                }
                std::lock_guard lock(m_stateLock);
                m_emittedText = finalText;
                m_targetConfirmedText = finalText;
                co_return true;
            }
            // Select the draft so the paste replaces it; where nothing selects (a terminal), erase it.
            const int draftLength = Text::graphemeCount(emitted);
            bool selected = false;
            if (value && Text::trimmed(*value) == Text::trimmed(emitted))
                selected = co_await m_injector.sendSelectAllEvent(m_keyTarget);
            if (!selected && !m_keyTarget->hasLostFocus())
                selected = co_await m_injector.selectLeftCharacters(draftLength, m_keyTarget);
            if (!selected && m_keyTarget->hasLostFocus()) {
                const bool inserted = co_await pasteWhereTheFocusIs(finalText);
                co_return inserted;
            }
            if (!selected) {
                const Status erased = co_await m_injector.sendCleanBackspaces(draftLength, m_keyTarget);
                if (!noteTyped(erased)) {
                    const bool inserted = co_await endWithoutTyping(finalText);
                    co_return inserted;
                }
            }
            co_await sleepFor(m_scheduler, kReconcileSettle);
        }
    }
    // A failed paste leaves the text on the clipboard by itself.
    const Status pasted = co_await m_injector.pasteViaClipboardPreservingSnapshot(finalText);
    if (!noteTyped(pasted))
        co_return false;
    std::lock_guard lock(m_stateLock);
    m_emittedText = finalText;
    m_targetConfirmedText = finalText;
    co_return true;
}

// --- Cancel ---

QCoro::Task<> LiveInputSession::cancel()
{
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await stopPacer();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    if (m_ended)
        co_return;
    m_ended = true;

    int typed = 0;
    {
        std::lock_guard lock(m_stateLock);
        typed = Text::graphemeCount(m_emittedText);
        // Characters held after a streamed line break are counted as emitted but never reached the field.
        if (m_postNewlineGuardBuffer)
            typed -= Text::graphemeCount(*m_postNewlineGuardBuffer);
        m_postNewlineGuardBuffer.reset();
        m_emittedText.clear();
        m_targetConfirmedText.clear();
    }
    if (typed <= 0 || m_keyTarget->hasLostFocus())
        co_return;
    // Erased only while the target window still has the focus: elsewhere the Delete presses would eat text
    // the session never typed.
    const Status erased = co_await m_injector.sendCleanBackspaces(typed, m_keyTarget);
    noteTyped(erased);
}
