// The end of a live-typing session: the polished stream over the draft, the final text, and cancel.
#include "system/LiveInputSession.h"

#include "system/ContextInjector.h"
#include "system/GraphemeDiff.h"
#include "util/Text.h"

namespace {

// Resumes the awaiting coroutine on the scheduler's thread once everything queued on the pacer queue before
// it (a tick in flight above all) has run.
class PacerDrain {
public:
    PacerDrain(SerialQueue& queue, Scheduler& scheduler) : m_queue(queue), m_scheduler(scheduler) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        Scheduler* scheduler = &m_scheduler;
        m_queue.async(
            [scheduler, handle] { scheduler->schedule(Duration::zero(), [handle] { handle.resume(); }); });
    }
    void await_resume() const noexcept {}

private:
    SerialQueue& m_queue;
    Scheduler& m_scheduler;
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
        co_await PacerDrain(*m_pacerQueue, m_scheduler);
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
    if (m_ended)
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
    if (!pending.isEmpty())
        co_await m_injector.typeCleanUnicode(pending);

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
    co_return m_injector.captureCurrentContext().hasFocusedTextInput;
}

QCoro::Task<> LiveInputSession::consumeSSEChunk(QString piece)
{
    if (piece.isEmpty())
        co_return;
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    if (m_ended)
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
            const std::optional<QString> value = m_injector.readCurrentFocusedValue();
            if (value && Text::trimmed(*value) == Text::trimmed(draft) && m_injector.sendSelectAllEvent()) {
                replacedBySelection = true;
                co_await sleepFor(m_scheduler, kStreamEditSettle);
                if (delta.isEmpty())
                    m_injector.sendBackspacesNow(1); // otherwise typing the delta replaces the selection
            }
        }
        if (!replacedBySelection) {
            co_await m_injector.sendCleanBackspaces(erase);
            if (!delta.isEmpty())
                co_await sleepFor(m_scheduler, kStreamEditSettle);
        }
    }
    if (!delta.isEmpty())
        co_await emitSSEDeltaGuardingAutoList(delta);
}

QCoro::Task<> LiveInputSession::emitSSEDeltaGuardingAutoList(QString delta)
{
    QString plain; // characters typed as they come, gathered into one call
    for (const QString& character : Text::graphemes(delta)) {
        if (character == u"\n") {
            m_injector.typeCleanUnicodeNow(std::exchange(plain, QString()));
            std::optional<QString> held;
            {
                std::lock_guard lock(m_stateLock);
                held = std::exchange(m_postNewlineGuardBuffer, std::nullopt);
            }
            if (held && !held->isEmpty())
                co_await m_injector.typePostNewlineSkippingEditorAutoMarker(*held);
            m_injector.sendLineBreak();
            std::lock_guard lock(m_stateLock);
            m_postNewlineGuardBuffer = QString();
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
            m_injector.typeCleanUnicodeNow(std::exchange(plain, QString()));
            co_await m_injector.typePostNewlineSkippingEditorAutoMarker(*release);
        } else {
            plain += character;
        }
    }
    m_injector.typeCleanUnicodeNow(plain);
}

QCoro::Task<> LiveInputSession::flushPostNewlineGuardBufferIfAny()
{
    std::optional<QString> held;
    {
        std::lock_guard lock(m_stateLock);
        held = std::exchange(m_postNewlineGuardBuffer, std::nullopt);
    }
    if (held && !held->isEmpty())
        co_await m_injector.typePostNewlineSkippingEditorAutoMarker(*held);
}

QCoro::Task<> LiveInputSession::finishSSEPolishStream(QString finalText)
{
    const std::shared_ptr<LiveInputSession> keepAlive = shared_from_this();
    co_await stopPacer();
    co_await m_turn.acquire();
    TurnGuard turn{m_turn};
    if (m_ended)
        co_return;
    m_ended = true;

    co_await flushPostNewlineGuardBufferIfAny();
    QString field;
    {
        std::lock_guard lock(m_stateLock);
        field = m_sseHasDiverged ? m_emittedText : m_draftBeforeSSE;
        m_emittedText = finalText;
        m_targetConfirmedText = finalText;
    }
    if (field != finalText)
        co_await m_injector.applyCleanUnicodeDelta(field, finalText);

    if (!finalText.contains(u'\n'))
        co_return;
    // An editor that continues lists by itself may have doubled a marker we typed after a line break.
    co_await sleepFor(m_scheduler, kReconcileSettle);
    const std::optional<QString> value = m_injector.readCurrentFocusedValue();
    if (!value || !ContextInjector::containsDuplicatedListMarker(*value, finalText))
        co_return;
    const QString collapsed = ContextInjector::collapseDuplicatedListMarkers(*value);
    if (Text::trimmed(collapsed) != Text::trimmed(finalText))
        co_return; // the field holds more than our text: leave it
    if (m_injector.sendSelectAllEvent())
        co_await sleepFor(m_scheduler, kSelectAllSettle);
    else
        co_await m_injector.sendCleanBackspaces(Text::graphemeCount(*value));
    m_injector.pasteViaClipboardPreservingSnapshot(finalText);
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
    const bool hasInput =
        m_injector.isAccessibilityTrusted() &&
        ((decided && contextHasInput) || m_injector.captureCurrentContext().hasFocusedTextInput);
    if (!hasInput) {
        m_injector.saveToSafetyClipboard(finalText);
        co_return false;
    }

    bool draftInField = false;
    if (!emitted.isEmpty()) {
        const std::optional<QString> value = m_injector.readCurrentFocusedValue();
        // An unreadable field is taken to still hold the draft.
        draftInField = !value || value->contains(emitted);
    }
    if (draftInField) {
        if (finalText == emitted)
            co_return true;
        if (GraphemeDiff::hasPrefix(finalText, emitted) &&
            !finalText.sliced(emitted.size()).contains(u'\n')) {
            co_await m_injector.typeCleanUnicode(finalText.sliced(emitted.size()));
            std::lock_guard lock(m_stateLock);
            m_emittedText = finalText;
            m_targetConfirmedText = finalText;
            co_return true;
        }
        // Select the draft so the paste replaces it; where nothing can be selected (a terminal), erase it.
        const int draftLength = Text::graphemeCount(emitted);
        const std::optional<QString> value = m_injector.readCurrentFocusedValue();
        const bool selectedAll =
            value && Text::trimmed(*value) == Text::trimmed(emitted) && m_injector.sendSelectAllEvent();
        if (!selectedAll && !m_injector.selectLeftCharacters(draftLength))
            co_await m_injector.sendCleanBackspaces(draftLength);
        co_await sleepFor(m_scheduler, kReconcileSettle);
    }
    m_injector.pasteViaClipboardPreservingSnapshot(finalText);
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
    if (typed > 0 && isTargetFrontmost())
        co_await m_injector.sendCleanBackspaces(typed);
}

bool LiveInputSession::isTargetFrontmost()
{
    if (!m_target)
        return false;
    const std::optional<FrontmostApplication> now = m_injector.frontmostApplication();
    return now && now->processId == m_target->processId &&
           now->bundleIdentifier == m_target->bundleIdentifier && now->name == m_target->name;
}
