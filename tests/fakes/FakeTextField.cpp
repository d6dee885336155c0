#include "fakes/FakeTextField.h"

#include "util/Text.h"

#include <QRegularExpression>
#include <algorithm>

namespace {

const QString kPlainText = QStringLiteral("text/plain");

void appendPress(QList<KeyEvent>& events, std::uint16_t keyCode, std::uint64_t modifiers)
{
    events.append({KeyEvent::Kind::KeyDown, keyCode, modifiers, false, true});
    events.append({KeyEvent::Kind::KeyUp, keyCode, modifiers, false, true});
}

bool has(std::uint64_t modifiers, std::uint64_t flag)
{
    return (modifiers & flag) != 0;
}

} // namespace

// --- Accessibility ---

bool FakeTextField::isTrusted()
{
    std::lock_guard lock(m_mutex);
    return m_trusted;
}

bool FakeTextField::requestTrust()
{
    return isTrusted();
}

bool FakeTextField::readableLocked(qint64 processId) const
{
    return m_trusted && processId == kProcessId;
}

std::optional<FocusedElement> FakeTextField::focusedElement(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    if (!readableLocked(processId))
        return std::nullopt;
    FocusedElement element;
    element.role = m_role;
    element.roleName = m_password ? QStringLiteral("password text") : QStringLiteral("text");
    element.isEditableText = m_role == ElementRole::Other;
    element.isPassword = m_password;
    return element;
}

std::optional<QString> FakeTextField::selectedText(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    if (!readableLocked(processId) || !m_valueReadable || m_password)
        return std::nullopt;
    const qsizetype from = std::min(m_anchor, m_caret);
    return m_content.sliced(from, std::max(m_anchor, m_caret) - from);
}

std::optional<QString> FakeTextField::focusedValue(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    if (!readableLocked(processId))
        return std::nullopt;
    ++m_valueReads;
    if (!m_valueReadable || m_password)
        return std::nullopt;
    return m_content;
}

std::optional<QRect> FakeTextField::caretRect(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    if (!readableLocked(processId))
        return std::nullopt;
    return m_caretRect;
}

// --- InputSynth ---

Status FakeTextField::typeText(const QString& text)
{
    if (text.isEmpty())
        return Status::success();
    QList<KeyEvent> events;
    for (qsizetype i = 0, n = text.toUcs4().size(); i < n; ++i)
        appendPress(events, KeyCode::Unknown, 0);
    return keystroke(SynthAction::typed(text), events);
}

Status FakeTextField::pressChord(KeyChord chord)
{
    QList<KeyEvent> events;
    appendPress(events, chord.keyCode, chord.modifiers);
    return keystroke(SynthAction::pressed(chord), events);
}

Status FakeTextField::pressBackspace(int count)
{
    if (count <= 0)
        return Status::success();
    QList<KeyEvent> events;
    for (int i = 0; i < count; ++i)
        appendPress(events, KeyCode::Delete, 0);
    return keystroke(SynthAction::backspaces(count), events);
}

void FakeTextField::setPostedKeyObserver(PostedKeyObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

Status FakeTextField::keystroke(const SynthAction& action, const QList<KeyEvent>& events)
{
    PostedKeyObserver observer;
    {
        std::unique_lock lock(m_mutex);
        while (m_holding) {
            m_heldKeystrokeWaiting = true;
            m_keyGate.notify_all();
            m_keyGate.wait(lock);
        }
        m_heldKeystrokeWaiting = false;
        observer = m_observer;
    }
    if (observer) {
        for (const KeyEvent& event : events)
            observer(event);
    }
    std::lock_guard lock(m_mutex);
    m_actions.append(action);
    switch (action.kind) {
    case SynthAction::Kind::Text:
        insertLocked(action.text);
        break;
    case SynthAction::Kind::Backspace:
        for (int i = 0; i < action.count; ++i)
            backspaceLocked();
        break;
    case SynthAction::Kind::Chord:
        chordLocked(action.chord);
        break;
    }
    return Status::success();
}

void FakeTextField::chordLocked(KeyChord chord)
{
    const bool shift = has(chord.modifiers, ModifierFlag::Shift);
    const bool control = has(chord.modifiers, ModifierFlag::Control);
    switch (chord.keyCode) {
    case KeyCode::Return: {
        const qsizetype at = std::min(m_anchor, m_caret);
        const qsizetype lineStart = lineStartLocked(at);
        const QString line = m_content.sliced(lineStart, at - lineStart);
        insertLocked(QStringLiteral("\n"));
        if (!m_listContinuation || m_terminal)
            break;
        static const QRegularExpression numbered(QStringLiteral("^(\\d+)\\.\\s+"));
        static const QRegularExpression bullet(QStringLiteral("^([-*•])\\s+"));
        if (const auto match = numbered.match(line); match.hasMatch())
            insertLocked(QString::number(match.captured(1).toInt() + 1) + QStringLiteral(". "));
        else if (const auto bulletMatch = bullet.match(line); bulletMatch.hasMatch())
            insertLocked(bulletMatch.captured(1) + u' ');
        break;
    }
    case KeyCode::A:
        if (!control)
            break;
        if (m_terminal) { // a shell line: start of line
            m_caret = lineStartLocked(m_caret);
            m_anchor = m_caret;
        } else {
            m_anchor = 0;
            m_caret = m_content.size();
        }
        break;
    case KeyCode::V:
        if (!control || (m_terminal && !shift))
            break;
        if (m_deferredPaste)
            ++m_pendingPastes;
        else
            pasteLocked();
        break;
    case KeyCode::LeftArrow:
        m_caret = previousBoundaryLocked(m_caret);
        if (!shift || m_terminal)
            m_anchor = m_caret;
        break;
    default:
        break;
    }
}

void FakeTextField::pasteLocked()
{
    m_clipboardRequested = true;
    for (const ClipboardFormat& format : m_clipboard.formats) {
        if (format.mimeType == kPlainText) {
            insertLocked(QString::fromUtf8(format.data));
            return;
        }
    }
}

void FakeTextField::insertLocked(const QString& text)
{
    const qsizetype from = std::min(m_anchor, m_caret);
    const qsizetype to = std::max(m_anchor, m_caret);
    m_content.replace(from, to - from, text);
    m_caret = m_anchor = from + text.size();
}

void FakeTextField::backspaceLocked()
{
    qsizetype from = std::min(m_anchor, m_caret);
    const qsizetype to = std::max(m_anchor, m_caret);
    if (from == to)
        from = previousBoundaryLocked(to);
    m_content.remove(from, to - from);
    m_caret = m_anchor = from;
}

qsizetype FakeTextField::lineStartLocked(qsizetype offset) const
{
    return offset == 0 ? 0 : m_content.lastIndexOf(u'\n', offset - 1) + 1;
}

qsizetype FakeTextField::previousBoundaryLocked(qsizetype offset) const
{
    const QList<qsizetype> bounds = Text::graphemeBoundaries(m_content);
    qsizetype previous = 0;
    for (qsizetype bound : bounds) {
        if (bound >= offset)
            break;
        previous = bound;
    }
    return previous;
}

int FakeTextField::characterIndexLocked(qsizetype offset) const
{
    return Text::graphemeCount(QStringView(m_content).first(offset));
}

qsizetype FakeTextField::offsetOfCharacterLocked(int index) const
{
    return Text::graphemePrefix(m_content, index).size();
}

// --- Clipboard ---

ClipboardSnapshot FakeTextField::snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_clipboard;
}

void FakeTextField::restore(const ClipboardSnapshot& snapshot)
{
    std::lock_guard lock(m_mutex);
    ++m_restoreCount;
    m_clipboard = snapshot;
    ++m_changeCount;
    m_clipboardOurs = true;
    m_clipboardRequested = false;
}

void FakeTextField::setText(const QString& text)
{
    std::lock_guard lock(m_mutex);
    m_clipboard = {{{kPlainText, text.toUtf8()}}};
    ++m_changeCount;
    m_clipboardOurs = true;
    m_clipboardRequested = false;
}

QString FakeTextField::text() const
{
    std::lock_guard lock(m_mutex);
    for (const ClipboardFormat& format : m_clipboard.formats) {
        if (format.mimeType == kPlainText)
            return QString::fromUtf8(format.data);
    }
    return {};
}

quint64 FakeTextField::changeCount() const
{
    std::lock_guard lock(m_mutex);
    return m_changeCount;
}

bool FakeTextField::ownsContents() const
{
    std::lock_guard lock(m_mutex);
    return m_clipboardOurs;
}

bool FakeTextField::contentsWereRequested() const
{
    std::lock_guard lock(m_mutex);
    return m_clipboardOurs && m_clipboardRequested;
}

void FakeTextField::simulateCopy(const ClipboardSnapshot& contents)
{
    std::lock_guard lock(m_mutex);
    m_clipboard = contents;
    ++m_changeCount;
    m_clipboardOurs = false;
    m_clipboardRequested = false;
}

int FakeTextField::clipboardRestoreCount() const
{
    std::lock_guard lock(m_mutex);
    return m_restoreCount;
}

// --- The field ---

void FakeTextField::setContent(const QString& content, int caret)
{
    std::lock_guard lock(m_mutex);
    m_content = content;
    m_caret = caret < 0 ? m_content.size() : offsetOfCharacterLocked(caret);
    m_anchor = m_caret;
}

QString FakeTextField::content() const
{
    std::lock_guard lock(m_mutex);
    return m_content;
}

int FakeTextField::caretPosition() const
{
    std::lock_guard lock(m_mutex);
    return characterIndexLocked(m_caret);
}

QString FakeTextField::selectedContent() const
{
    std::lock_guard lock(m_mutex);
    const qsizetype from = std::min(m_anchor, m_caret);
    return m_content.sliced(from, std::max(m_anchor, m_caret) - from);
}

void FakeTextField::select(int from, int to)
{
    std::lock_guard lock(m_mutex);
    m_anchor = offsetOfCharacterLocked(from);
    m_caret = offsetOfCharacterLocked(to);
}

void FakeTextField::setTrusted(bool trusted)
{
    std::lock_guard lock(m_mutex);
    m_trusted = trusted;
}

void FakeTextField::setRole(ElementRole role)
{
    std::lock_guard lock(m_mutex);
    m_role = role;
}

void FakeTextField::setPassword(bool password)
{
    std::lock_guard lock(m_mutex);
    m_password = password;
}

void FakeTextField::setValueReadable(bool readable)
{
    std::lock_guard lock(m_mutex);
    m_valueReadable = readable;
}

void FakeTextField::setCaretRect(std::optional<QRect> rect)
{
    std::lock_guard lock(m_mutex);
    m_caretRect = rect;
}

void FakeTextField::setListContinuation(bool on)
{
    std::lock_guard lock(m_mutex);
    m_listContinuation = on;
}

void FakeTextField::setTerminalMode(bool on)
{
    std::lock_guard lock(m_mutex);
    m_terminal = on;
}

void FakeTextField::setDeferredPaste(bool on)
{
    std::lock_guard lock(m_mutex);
    m_deferredPaste = on;
}

void FakeTextField::completePendingPastes()
{
    std::lock_guard lock(m_mutex);
    for (; m_pendingPastes > 0; --m_pendingPastes)
        pasteLocked();
}

void FakeTextField::holdKeystrokes()
{
    std::lock_guard lock(m_mutex);
    m_holding = true;
}

bool FakeTextField::waitForHeldKeystroke()
{
    std::unique_lock lock(m_mutex);
    return m_keyGate.wait_for(lock, std::chrono::seconds(5), [this] { return m_heldKeystrokeWaiting; });
}

void FakeTextField::releaseKeystrokes()
{
    std::lock_guard lock(m_mutex);
    m_holding = false;
    m_keyGate.notify_all();
}

QList<SynthAction> FakeTextField::actions() const
{
    std::lock_guard lock(m_mutex);
    return m_actions;
}

void FakeTextField::clearActions()
{
    std::lock_guard lock(m_mutex);
    m_actions.clear();
}

int FakeTextField::backspacePresses() const
{
    std::lock_guard lock(m_mutex);
    int presses = 0;
    for (const SynthAction& action : m_actions) {
        if (action.kind == SynthAction::Kind::Backspace)
            presses += action.count;
    }
    return presses;
}

int FakeTextField::chordCount(KeyChord chord) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count(m_actions.cbegin(), m_actions.cend(), SynthAction::pressed(chord)));
}

int FakeTextField::valueReadCount() const
{
    std::lock_guard lock(m_mutex);
    return m_valueReads;
}
