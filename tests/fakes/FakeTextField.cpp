#include "fakes/FakeTextField.h"

#include "util/Text.h"

#include <QRegularExpression>
#include <algorithm>
#include <utility>

// --- Accessibility ---

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
    return selectionLocked();
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
    return readableLocked(processId) ? m_caretRect : std::nullopt;
}

// --- Keystrokes ---

void FakeTextField::beforeKeystroke(std::unique_lock<std::mutex>& lock)
{
    while (m_holding) {
        m_heldKeystrokeWaiting = true;
        m_keyGate.notify_all();
        m_keyGate.wait(lock);
    }
    m_heldKeystrokeWaiting = false;
}

void FakeTextField::keystrokeLocked(const SynthAction& action)
{
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
}

void FakeTextField::chordLocked(KeyChord chord)
{
    const bool shift = (chord.modifiers & ModifierFlag::Shift) != 0;
    const bool control = (chord.modifiers & ModifierFlag::Control) != 0;
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
        if (!control || (m_terminal && !shift) || m_xterm)
            break;
        if (m_deferredPaste)
            m_pendingPastes.append(false);
        else
            pasteLocked(false);
        break;
    case KeyCode::Insert:
        if (!m_xterm || !shift || control)
            break;
        if (m_deferredPaste)
            m_pendingPastes.append(true);
        else
            pasteLocked(true);
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

void FakeTextField::pasteLocked(bool fromPrimary)
{
    FakeClipboard& source = fromPrimary ? *m_clipboard.primarySelection() : m_clipboard;
    if (const std::optional<QString> pasted = source.request())
        insertLocked(*pasted);
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

QString FakeTextField::selectionLocked() const
{
    const qsizetype from = std::min(m_anchor, m_caret);
    return m_content.sliced(from, std::max(m_anchor, m_caret) - from);
}

qsizetype FakeTextField::lineStartLocked(qsizetype offset) const
{
    return offset == 0 ? 0 : m_content.lastIndexOf(u'\n', offset - 1) + 1;
}

qsizetype FakeTextField::previousBoundaryLocked(qsizetype offset) const
{
    qsizetype previous = 0;
    for (qsizetype bound : Text::graphemeBoundaries(m_content)) {
        if (bound >= offset)
            break;
        previous = bound;
    }
    return previous;
}

qsizetype FakeTextField::offsetOfCharacterLocked(int index) const
{
    return Text::graphemePrefix(m_content, index).size();
}

// --- The field ---

void FakeTextField::setContent(const QString& content, int caret)
{
    std::lock_guard lock(m_mutex);
    m_content = content;
    m_caret = caret < 0 ? m_content.size() : offsetOfCharacterLocked(caret);
    m_anchor = m_caret;
}

void FakeTextField::select(int from, int to)
{
    std::lock_guard lock(m_mutex);
    m_anchor = offsetOfCharacterLocked(from);
    m_caret = offsetOfCharacterLocked(to);
}

void FakeTextField::completePendingPastes()
{
    std::lock_guard lock(m_mutex);
    for (const bool fromPrimary : std::exchange(m_pendingPastes, {}))
        pasteLocked(fromPrimary);
}

bool FakeTextField::waitForHeldKeystroke()
{
    std::unique_lock lock(m_mutex);
    return m_keyGate.wait_for(lock, std::chrono::seconds(30), [this] { return m_heldKeystrokeWaiting; });
}

void FakeTextField::releaseKeystrokes()
{
    std::lock_guard lock(m_mutex);
    m_holding = false;
    m_keyGate.notify_all();
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
