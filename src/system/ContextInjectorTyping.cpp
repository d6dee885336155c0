// Keys, the clipboard and list markers: how ContextInjector puts text into the target.
#include "system/ContextInjector.h"
#include "util/Deferred.h"

#include "system/GraphemeDiff.h"
#include "system/PastePolicy.h"
#include "util/DictationTrace.h"
#include "util/Text.h"

#include <QRegularExpression>

namespace {

constexpr KeyChord kLineBreakChord{KeyCode::Return, ModifierFlag::Shift};
// Command shortcuts are Ctrl shortcuts on this desktop.
constexpr KeyChord kSelectAllChord{KeyCode::A, ModifierFlag::Control};
constexpr KeyChord kSelectLeftChord{KeyCode::LeftArrow, ModifierFlag::Shift};

const QRegularExpression& leadingMarkerPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d+\\.\\s+|[-*•]\\s+)"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression& duplicatedMarkerPattern()
{
    static const QRegularExpression pattern(QStringLiteral("(?m)^[ \\t]*(\\d+\\.|[-*•])\\s+\\1\\s+"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression& collapsibleMarkerPattern()
{
    static const QRegularExpression pattern(QStringLiteral("(?m)^([ \\t]*)(\\d+\\.|[-*•])\\s+\\2\\s+"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

QString trimmedOfSpacesAndTabs(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto isBlankChar = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && isBlankChar(text[begin]))
        ++begin;
    while (end > begin && isBlankChar(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

Status notTrusted()
{
    return Status::failure(QStringLiteral("Accessibility is not granted: no keys are posted"));
}

Status focusLeft()
{
    return Status::failure(QStringLiteral("the keyboard focus left the window being typed into"));
}

} // namespace

// --- Keys, blocking ---

Status ContextInjector::typeRawUnicodeLine(const QString& text)
{
    if (text.isEmpty())
        return Status::success();
    if (!isTrusted())
        return notTrusted();
    return typeLineInChunks(text);
}

Status ContextInjector::typeLineInChunks(const QString& text, KeyTarget* target)
{
    const QList<qsizetype> bounds = Text::graphemeBoundaries(text);
    qsizetype start = 0;
    for (qsizetype i = 1; i < bounds.size(); ++i) {
        // A character longer than a chunk goes out alone rather than being split.
        if (bounds[i] - start > kTypingChunkCodeUnits && bounds[i - 1] > start) {
            if (!keysReachTarget(target))
                return focusLeft();
            if (const Status typed = m_inputSynth.typeText(text.sliced(start, bounds[i - 1] - start)); !typed)
                return typed;
            start = bounds[i - 1];
        }
    }
    if (start < text.size()) {
        if (!keysReachTarget(target))
            return focusLeft();
        return m_inputSynth.typeText(text.sliced(start));
    }
    return Status::success();
}

Status ContextInjector::typeCleanUnicodeNow(const QString& text, KeyTarget* target)
{
    if (text.isEmpty())
        return Status::success();
    if (!isTrusted())
        return notTrusted();
    return typeLinesNow(text, target);
}

Status ContextInjector::typeLinesNow(const QString& text, KeyTarget* target)
{
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (const Status typed = typeLineInChunks(lines[i], target); !typed)
            return typed;
        if (i + 1 < lines.size()) {
            if (!keysReachTarget(target))
                return focusLeft();
            if (const Status broken = m_inputSynth.pressChord(kLineBreakChord); !broken)
                return broken;
        }
    }
    return Status::success();
}

Status ContextInjector::sendBackspacesNow(int count, KeyTarget* target)
{
    if (count <= 0)
        return Status::success();
    if (!isTrusted())
        return notTrusted();
    if (!keysReachTarget(target))
        return focusLeft();
    return m_inputSynth.pressBackspace(count);
}

Status ContextInjector::prepareToTypeNow(const QString& upcoming)
{
    return m_inputSynth.prepareToType(upcoming);
}

// --- Keys from the main thread ---

QCoro::Task<Status> ContextInjector::typeCleanUnicodeAsIs(QString text, std::shared_ptr<KeyTarget> target)
{
    if (text.isEmpty())
        co_return Status::success();
    auto call = onTypingQueue([this, text, target] { return typeCleanUnicodeNow(text, target.get()); });
    co_return co_await call;
}

QCoro::Task<Status> ContextInjector::typeCleanUnicode(QString text, std::shared_ptr<KeyTarget> target)
{
    if (text.isEmpty())
        co_return Status::success();
    // Lines go out together up to one that starts with a list marker: only there is there a wait and a look.
    const QStringList lines = text.split(u'\n');
    QString run;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0 && extractLeadingListMarker(lines[i])) {
            const Status before = co_await typeCleanUnicodeAsIs(std::exchange(run, QString()), target);
            if (!before)
                co_return before;
            const Status line = co_await typeSkippingEditorMarker(lines[i], target);
            if (!line)
                co_return line;
        } else {
            run += lines[i];
        }
        if (i + 1 < lines.size())
            run += u'\n';
    }
    const Status result = co_await typeCleanUnicodeAsIs(run, target);
    co_return result;
}

QCoro::Task<Status>
ContextInjector::typePostNewlineSkippingEditorAutoMarker(QString text, std::shared_ptr<KeyTarget> target)
{
    if (text.isEmpty())
        co_return Status::success();
    const Status result = co_await typeSkippingEditorMarker(std::move(text), std::move(target));
    co_return result;
}

QCoro::Task<Status> ContextInjector::typeSkippingEditorMarker(QString piece,
                                                              std::shared_ptr<KeyTarget> target)
{
    const std::optional<QString> marker = extractLeadingListMarker(piece);
    if (!marker) {
        const Status typed = co_await typeCleanUnicodeAsIs(std::move(piece), std::move(target));
        co_return typed;
    }
    co_await sleepFor(m_scheduler, kListMarkerSettle);
    // The look and the typing in one go, so nothing can come between them.
    const QString exact = u'\n' + *marker;
    const QString singleSpaced = u'\n' + trimmedOfSpacesAndTabs(*marker) + u' ';
    const QString rest = piece.sliced(marker->size());
    auto call = onTypingQueue([this, piece, rest, exact, singleSpaced, target] {
        const std::optional<QString> value = readCurrentFocusedValue();
        const bool inserted = value && (value->endsWith(exact) || value->endsWith(singleSpaced));
        return typeCleanUnicodeNow(inserted ? rest : piece, target.get());
    });
    co_return co_await call;
}

QCoro::Task<Status> ContextInjector::applyCleanUnicodeDelta(QString from, QString to,
                                                            std::shared_ptr<KeyTarget> target)
{
    if (from == to)
        co_return Status::success();
    const GraphemeDiff::CommonPrefix common = GraphemeDiff::commonPrefix(from, to);
    const int erase = Text::graphemeCount(from) - common.characters;
    if (erase > 0) {
        const Status erased = co_await sendCleanBackspaces(erase, target);
        if (!erased)
            co_return erased;
    }
    const Status result = co_await typeCleanUnicode(to.sliced(common.codeUnits), target);
    co_return result;
}

QCoro::Task<Status> ContextInjector::sendCleanBackspaces(int count, std::shared_ptr<KeyTarget> target)
{
    // Presses are numbered from 0; a pause follows each one whose number is a non-zero multiple of 14.
    int pressed = 0;
    while (pressed < count) {
        const int pauseAfter = (pressed / kBackspacePauseEvery + 1) * kBackspacePauseEvery;
        const int run = std::min(count, pauseAfter + 1) - pressed;
        auto call = onTypingQueue([this, run, target] { return sendBackspacesNow(run, target.get()); });
        const Status sent = co_await call;
        if (!sent)
            co_return sent;
        pressed += run;
        if (pressed == pauseAfter + 1)
            co_await sleepFor(m_scheduler, kBackspacePause);
    }
    co_return Status::success();
}

QCoro::Task<bool> ContextInjector::sendSelectAllEvent(std::shared_ptr<KeyTarget> target)
{
    auto call = onTypingQueue([this, target] {
        if (!isTrusted() || isTerminalFrontmost() || !keysReachTarget(target.get()))
            return false;
        return m_inputSynth.pressChord(kSelectAllChord).ok;
    });
    co_return co_await call;
}

QCoro::Task<bool> ContextInjector::selectLeftCharacters(int count, std::shared_ptr<KeyTarget> target)
{
    auto call = onTypingQueue([this, count, target] {
        if (!isTrusted() || isTerminalFrontmost() || !keysReachTarget(target.get()))
            return false;
        for (int i = 0; i < count; ++i) {
            if (!m_inputSynth.pressChord(kSelectLeftChord))
                return false;
        }
        return true;
    });
    co_return co_await call;
}

// --- Clipboard ---

QCoro::Task<Status> ContextInjector::pasteViaClipboardPreservingSnapshot(QString text)
{
    if (text.isEmpty())
        co_return Status::success();
    if (!isTrusted())
        co_return notTrusted();
    Clipboard* const primarySelection = m_clipboard.primarySelection();
    auto ask = onTypingQueue([this, primarySelection] {
        return PastePolicy::methodFor(frontmostApplication(), primarySelection != nullptr);
    });
    const PasteMethod method = co_await ask;
    Clipboard* const primary = method.viaPrimarySelection ? primarySelection : nullptr;

    // While our previous paste is still on the clipboard, the user's own contents are the ones waiting to
    // be restored; a fresh snapshot would only capture our own pasted text. The same holds for PRIMARY,
    // whose owner is asked while the clipboard is read.
    std::shared_ptr<Deferred<ClipboardSnapshot>> primaryRead;
    if (primary && !(m_pendingRestore && m_pendingRestore->primarySnapshot && primary->ownsContents())) {
        primaryRead = Deferred<ClipboardSnapshot>::create();
        primary->readSnapshot(
            [primaryRead](ClipboardSnapshot read) { primaryRead->resolve(std::move(read)); });
    }
    ClipboardSnapshot previous;
    if (!m_pendingRestore || !m_clipboard.ownsContents()) {
        previous = co_await userClipboardSnapshot();
        if (!previous.unreadReason.isEmpty() && m_clipboardNotKept)
            m_clipboardNotKept(previous.unreadReason, previous.isEmpty());
    }
    std::optional<ClipboardSnapshot> previousPrimary;
    if (primaryRead) {
        const std::weak_ptr<const void> lifetime = m_lifetime;
        ClipboardSnapshot read = co_await *primaryRead;
        if (lifetime.expired())
            co_return Status::failure(QStringLiteral("paste abandoned: the injector is gone"));
        previousPrimary = std::move(read);
    }
    // A paste that went out meanwhile holds the user's contents now.
    if (m_pendingRestore && m_clipboard.ownsContents())
        previous = std::move(m_pendingRestore->snapshot);
    if (primary && m_pendingRestore && m_pendingRestore->primarySnapshot && primary->ownsContents())
        previousPrimary = std::move(*m_pendingRestore->primarySnapshot);
    else if (!primary && m_pendingRestore)
        restorePrimaryNow(*m_pendingRestore); // this paste does not go through PRIMARY
    m_pendingRestore.reset();

    m_clipboard.setText(text);
    if (primary)
        primary->setText(text);
    // Held from now on, so a paste that follows before these keys are out still finds the user's contents.
    quint64 restoreId = 0;
    if (!previous.isEmpty() || (previousPrimary && !previousPrimary->isEmpty())) {
        m_pendingRestore = std::make_unique<PendingRestore>();
        m_pendingRestore->id = restoreId = ++m_lastRestoreId;
        m_pendingRestore->snapshot = std::move(previous);
        m_pendingRestore->primarySnapshot = std::move(previousPrimary);
        m_pendingRestore->pastedFromPrimary = primary != nullptr;
    }
    auto call = onTypingQueue([this, chord = method.chord] { return m_inputSynth.pressChord(chord); });
    const Status pasted = co_await call;
    if (pasted && m_trace)
        m_trace->mark(DictationTrace::Step::pasteSent);
    if (restoreId == 0 || !m_pendingRestore || m_pendingRestore->id != restoreId)
        co_return pasted; // nothing to give back, or a later paste or the safety clipboard took it over
    if (!pasted) {
        // The text stays on the clipboard for the user; nothing will paste from PRIMARY.
        restorePrimaryNow(*m_pendingRestore);
        m_pendingRestore.reset();
        co_return pasted;
    }
    m_pendingRestore->pastedAt = m_scheduler.now();
    m_pendingRestore->check = ScheduledWork(
        &m_scheduler, m_scheduler.schedule(kClipboardRestoreDelay, [this] { checkClipboardRestore(); }));
    co_return pasted;
}

void ContextInjector::prefetchClipboardSnapshot()
{
    if (m_pendingRestore && m_clipboard.ownsContents())
        return; // the user's contents are already held for the restore
    if (!m_snapshotRead || m_snapshotRead->changeCount != m_clipboard.changeCount())
        startSnapshotRead();
}

void ContextInjector::startSnapshotRead()
{
    auto read = std::make_shared<SnapshotRead>();
    read->changeCount = m_clipboard.changeCount();
    m_snapshotRead = read;
    m_snapshotRelease.cancel();
    std::weak_ptr<const void> lifetime = m_lifetime;
    m_clipboard.readSnapshot([this, lifetime, read](ClipboardSnapshot snapshot) {
        if (lifetime.expired())
            return;
        read->snapshot = std::move(snapshot);
        for (std::coroutine_handle<> waiter : std::exchange(read->waiters, {})) {
            m_scheduler.schedule(Duration::zero(), [lifetime, waiter] {
                if (!lifetime.expired())
                    waiter.resume();
            });
        }
        if (m_snapshotRead == read) {
            m_snapshotRelease =
                ScheduledWork(&m_scheduler, m_scheduler.schedule(kPrefetchedSnapshotKept, [this, read] {
                    if (m_snapshotRead == read)
                        m_snapshotRead.reset();
                }));
        }
    });
}

QCoro::Task<ClipboardSnapshot> ContextInjector::userClipboardSnapshot()
{
    // A copy that lands while the owner is read may be missing from what comes back: then read again, a
    // few times at most (a clipboard that never holds still gets the last read).
    constexpr int kReads = 3;
    for (int attempt = 1;; ++attempt) {
        if (!m_snapshotRead || m_snapshotRead->changeCount != m_clipboard.changeCount())
            startSnapshotRead();
        const std::shared_ptr<SnapshotRead> read = m_snapshotRead;
        SnapshotReady ready{read};
        co_await ready;
        if (read->changeCount == m_clipboard.changeCount() || attempt == kReads) {
            // Used once: the contents are held for the restore from here.
            if (m_snapshotRead == read) {
                m_snapshotRead.reset();
                m_snapshotRelease.cancel();
            }
            co_return *read->snapshot;
        }
    }
}

void ContextInjector::checkClipboardRestore()
{
    if (!m_pendingRestore)
        return;
    PendingRestore& pending = *m_pendingRestore;
    Clipboard* const primary = m_clipboard.primarySelection();
    // Someone copied (or selected) since: theirs stays.
    if (!m_clipboard.ownsContents())
        pending.snapshot = {};
    if (pending.primarySnapshot && (!primary || !primary->ownsContents()))
        pending.primarySnapshot.reset();
    if (pending.snapshot.isEmpty() && (!pending.primarySnapshot || pending.primarySnapshot->isEmpty())) {
        m_pendingRestore.reset();
        return;
    }
    const Duration waited = m_scheduler.now() - pending.pastedAt;
    Clipboard& pastedFrom = pending.pastedFromPrimary && primary ? *primary : m_clipboard;
    const bool requested = pastedFrom.contentsWereRequested();
    if (requested && m_trace)
        m_trace->mark(DictationTrace::Step::clipboardRequested);
    if (requested || waited >= kClipboardRestoreLimit) {
        const ClipboardSnapshot snapshot = std::move(pending.snapshot);
        const std::optional<ClipboardSnapshot> primarySnapshot = std::move(pending.primarySnapshot);
        m_pendingRestore.reset();
        if (!snapshot.isEmpty())
            m_clipboard.restore(snapshot);
        if (primarySnapshot && !primarySnapshot->isEmpty())
            primary->restore(*primarySnapshot);
        return;
    }
    // The target has not taken the text yet: restoring now would make it paste the old contents.
    const Duration next = std::min<Duration>(kClipboardRequestPoll, kClipboardRestoreLimit - waited);
    pending.check =
        ScheduledWork(&m_scheduler, m_scheduler.schedule(next, [this] { checkClipboardRestore(); }));
}

void ContextInjector::restorePrimaryNow(PendingRestore& pending)
{
    Clipboard* const primary = m_clipboard.primarySelection();
    if (primary && pending.primarySnapshot && !pending.primarySnapshot->isEmpty() && primary->ownsContents())
        primary->restore(*pending.primarySnapshot);
    pending.primarySnapshot.reset();
}

QCoro::Task<Status> ContextInjector::injectTextAtCursor(QString text,
                                                        std::optional<ActiveScreenContext> context)
{
    Q_UNUSED(context);
    const Status result = co_await pasteViaClipboardPreservingSnapshot(std::move(text));
    co_return result;
}

void ContextInjector::saveToSafetyClipboard(const QString& text)
{
    if (text.isEmpty())
        return;
    // A restore still waiting from an earlier paste would overwrite the text left here for the user; the
    // user's PRIMARY selection goes back now.
    if (m_pendingRestore)
        restorePrimaryNow(*m_pendingRestore);
    m_pendingRestore.reset();
    m_clipboard.setText(text);
}

bool ContextInjector::hasPendingClipboardRestore() const
{
    return m_pendingRestore != nullptr;
}

// --- List markers ---

std::optional<QString> ContextInjector::extractLeadingListMarker(const QString& text)
{
    const QRegularExpression& pattern = leadingMarkerPattern();
    if (!pattern.isValid())
        return std::nullopt;
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

bool ContextInjector::containsDuplicatedListMarker(const QString& text, const QString& expected)
{
    if (text == expected)
        return false;
    const QRegularExpression& pattern = duplicatedMarkerPattern();
    if (!pattern.isValid())
        return false;
    return pattern.match(text).hasMatch() && !pattern.match(expected).hasMatch();
}

QString ContextInjector::collapseDuplicatedListMarkers(const QString& text)
{
    const QRegularExpression& pattern = collapsibleMarkerPattern();
    if (!pattern.isValid())
        return text;
    QString result = text;
    result.replace(pattern, QStringLiteral("\\1\\2 "));
    return result;
}
