// Keys, the clipboard and list markers: how ContextInjector puts text into the target.
#include "system/ContextInjector.h"

#include "system/GraphemeDiff.h"
#include "util/DictationTrace.h"
#include "util/Text.h"

#include <QRegularExpression>

namespace {

constexpr KeyChord kLineBreakChord{KeyCode::Return, ModifierFlag::Shift};
// Command shortcuts are Ctrl shortcuts on this desktop.
constexpr KeyChord kSelectAllChord{KeyCode::A, ModifierFlag::Control};
constexpr KeyChord kPasteChord{KeyCode::V, ModifierFlag::Control};
// Terminals keep Ctrl+V for themselves (literal next character) and paste on Ctrl+Shift+V.
constexpr KeyChord kTerminalPasteChord{KeyCode::V, ModifierFlag::Control | ModifierFlag::Shift};
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

} // namespace

// --- Keys ---

void ContextInjector::typeRawUnicodeLine(const QString& text)
{
    if (text.isEmpty() || !isTrusted())
        return;
    const QList<qsizetype> bounds = Text::graphemeBoundaries(text);
    qsizetype start = 0;
    for (qsizetype i = 1; i < bounds.size(); ++i) {
        // A character longer than a chunk goes out alone rather than being split.
        if (bounds[i] - start > kTypingChunkCodeUnits && bounds[i - 1] > start) {
            m_inputSynth.typeText(text.sliced(start, bounds[i - 1] - start));
            start = bounds[i - 1];
        }
    }
    if (start < text.size())
        m_inputSynth.typeText(text.sliced(start));
}

void ContextInjector::typeCleanUnicodeNow(const QString& text)
{
    if (text.isEmpty() || !isTrusted())
        return;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        typeRawUnicodeLine(lines[i]);
        if (i + 1 < lines.size())
            sendLineBreak();
    }
}

QCoro::Task<> ContextInjector::typeCleanUnicode(QString text)
{
    if (text.isEmpty() || !isTrusted())
        co_return;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i == 0)
            typeRawUnicodeLine(lines[i]);
        else if (!lines[i].isEmpty())
            co_await typeSkippingEditorMarker(lines[i]);
        if (i + 1 < lines.size())
            sendLineBreak();
    }
}

QCoro::Task<> ContextInjector::typePostNewlineSkippingEditorAutoMarker(QString text)
{
    if (text.isEmpty() || !isTrusted())
        co_return;
    co_await typeSkippingEditorMarker(std::move(text));
}

QCoro::Task<> ContextInjector::typeSkippingEditorMarker(QString piece)
{
    const std::optional<QString> marker = extractLeadingListMarker(piece);
    if (!marker) {
        typeCleanUnicodeNow(piece);
        co_return;
    }
    co_await sleepFor(m_scheduler, kListMarkerSettle);
    const std::optional<QString> value = readCurrentFocusedValue();
    if (value) {
        const QString exact = u'\n' + *marker;
        const QString singleSpaced = u'\n' + trimmedOfSpacesAndTabs(*marker) + u' ';
        if (value->endsWith(exact) || value->endsWith(singleSpaced)) {
            typeCleanUnicodeNow(piece.sliced(marker->size()));
            co_return;
        }
    }
    typeCleanUnicodeNow(piece);
}

QCoro::Task<> ContextInjector::applyCleanUnicodeDelta(QString from, QString to)
{
    if (from == to || !isTrusted())
        co_return;
    const GraphemeDiff::CommonPrefix common = GraphemeDiff::commonPrefix(from, to);
    const int erase = Text::graphemeCount(from) - common.characters;
    if (erase > 0)
        co_await sendCleanBackspaces(erase);
    const QString rest = to.sliced(common.codeUnits);
    if (!rest.isEmpty())
        co_await typeCleanUnicode(rest);
}

QCoro::Task<> ContextInjector::sendCleanBackspaces(int count)
{
    if (count <= 0 || !isTrusted())
        co_return;
    // Presses are numbered from 0; a pause follows each one whose number is a non-zero multiple of 14.
    int pressed = 0;
    while (pressed < count) {
        const int pauseAfter = (pressed / kBackspacePauseEvery + 1) * kBackspacePauseEvery;
        const int run = std::min(count, pauseAfter + 1) - pressed;
        m_inputSynth.pressBackspace(run);
        pressed += run;
        if (pressed == pauseAfter + 1)
            co_await sleepFor(m_scheduler, kBackspacePause);
    }
}

void ContextInjector::sendBackspacesNow(int count)
{
    if (count <= 0 || !isTrusted())
        return;
    m_inputSynth.pressBackspace(count);
}

void ContextInjector::sendLineBreak()
{
    if (isTrusted())
        m_inputSynth.pressChord(kLineBreakChord);
}

bool ContextInjector::sendSelectAllEvent()
{
    if (!isTrusted() || isTerminalFrontmost())
        return false;
    m_inputSynth.pressChord(kSelectAllChord);
    return true;
}

bool ContextInjector::selectLeftCharacters(int count)
{
    if (!isTrusted() || isTerminalFrontmost())
        return false;
    for (int i = 0; i < count; ++i)
        m_inputSynth.pressChord(kSelectLeftChord);
    return true;
}

// --- Clipboard ---

void ContextInjector::pasteViaClipboardPreservingSnapshot(const QString& text)
{
    if (text.isEmpty() || !isTrusted())
        return;
    // While our previous paste is still on the clipboard, the user's own contents are the ones waiting to
    // be restored; a fresh snapshot would only capture our own pasted text.
    ClipboardSnapshot previous;
    if (m_pendingRestore && m_clipboard.ownsContents())
        previous = std::move(m_pendingRestore->snapshot);
    else
        previous = m_clipboard.snapshot();
    m_pendingRestore.reset();

    m_clipboard.setText(text);
    m_inputSynth.pressChord(isTerminalFrontmost() ? kTerminalPasteChord : kPasteChord);
    if (m_trace)
        m_trace->mark(DictationTrace::Step::pasteSent);
    if (previous.isEmpty())
        return; // nothing to give back: the pasted text stays

    m_pendingRestore = std::make_unique<PendingRestore>();
    m_pendingRestore->snapshot = std::move(previous);
    m_pendingRestore->pastedAt = m_scheduler.now();
    m_pendingRestore->check = ScheduledWork(
        &m_scheduler, m_scheduler.schedule(kClipboardRestoreDelay, [this] { checkClipboardRestore(); }));
}

void ContextInjector::checkClipboardRestore()
{
    if (!m_pendingRestore)
        return;
    if (!m_clipboard.ownsContents()) {
        m_pendingRestore.reset(); // someone copied since: theirs stays
        return;
    }
    const Duration waited = m_scheduler.now() - m_pendingRestore->pastedAt;
    const bool requested = m_clipboard.contentsWereRequested();
    if (requested && m_trace)
        m_trace->mark(DictationTrace::Step::clipboardRequested);
    if (requested || waited >= kClipboardRestoreLimit) {
        const ClipboardSnapshot snapshot = std::move(m_pendingRestore->snapshot);
        m_pendingRestore.reset();
        m_clipboard.restore(snapshot);
        return;
    }
    // The target has not taken the text yet: restoring now would make it paste the old contents.
    const Duration next = std::min<Duration>(kClipboardRequestPoll, kClipboardRestoreLimit - waited);
    m_pendingRestore->check =
        ScheduledWork(&m_scheduler, m_scheduler.schedule(next, [this] { checkClipboardRestore(); }));
}

void ContextInjector::injectTextAtCursor(const QString& text,
                                         const std::optional<ActiveScreenContext>& context)
{
    Q_UNUSED(context);
    pasteViaClipboardPreservingSnapshot(text);
}

void ContextInjector::saveToSafetyClipboard(const QString& text)
{
    if (text.isEmpty())
        return;
    // A restore still waiting from an earlier paste would overwrite the text left here for the user.
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
