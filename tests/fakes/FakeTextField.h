#pragma once

#include "fakes/FakeClipboard.h"
#include "fakes/FakeInputSynth.h"
#include "platform/Accessibility.h"

#include <condition_variable>
#include <optional>

// One focused text field of another application, behind the three services that reach it: keystrokes land
// in it (and are recorded as FakeInputSynth records them), Accessibility reads it, and its paste reads the
// clipboard it shares with us. It keeps a text, a caret and a selection; Backspace and Shift+Left work by
// character; Ctrl+A selects everything; Shift+Return can continue a list the way rich editors do. In terminal
// mode it behaves like a shell line: Ctrl+A goes to the line start, Shift+Left only moves, and only
// Ctrl+Shift+V pastes. In xterm mode, a terminal of the xterm family, only Shift+Insert pastes, from the
// PRIMARY selection.
//
// Keystrokes may come from any thread. Holding the keys makes every keystroke call block until released,
// which stands for a slow target during a pacer tick.
class FakeTextField final : public FakeInputSynth, public Accessibility, public Clipboard {
public:
    static constexpr qint64 kProcessId = 4242;

    // --- Accessibility ---
    bool isTrusted() override { return guarded(m_trusted); }
    bool requestTrust() override { return isTrusted(); }
    QString untrustedReason() override { return {}; }
    std::optional<FocusedElement> focusedElement(qint64 processId) override;
    std::optional<QString> selectedText(qint64 processId) override;
    std::optional<QString> focusedValue(qint64 processId) override;
    std::optional<QRect> caretRect(qint64 processId) override;

    // --- Clipboard ---
    ClipboardSnapshot snapshot() const override { return m_clipboard.snapshot(); }
    void readSnapshot(SnapshotHandler done) override { m_clipboard.readSnapshot(std::move(done)); }
    void readShortText(qsizetype maxBytes, TextHandler done) override
    {
        m_clipboard.readShortText(maxBytes, std::move(done));
    }
    void restore(const ClipboardSnapshot& snapshot) override { m_clipboard.restore(snapshot); }
    void setText(const QString& text) override { m_clipboard.setText(text); }
    QString text() const override { return m_clipboard.text(); }
    quint64 changeCount() const override { return m_clipboard.changeCount(); }
    bool ownsContents() const override { return m_clipboard.ownsContents(); }
    bool contentsWereRequested() const override { return m_clipboard.contentsWereRequested(); }
    FakeClipboard* primarySelection() override { return m_clipboard.primarySelection(); }

    // --- The field ---
    // Replaces the content; the caret goes to `caret` (a character index; -1 for the end), nothing selected.
    void setContent(const QString& content, int caret = -1);
    QString content() const { return guarded(m_content); }
    QString selectedContent() const
    {
        std::lock_guard lock(m_mutex);
        return selectionLocked();
    }
    // Selects characters [from, to).
    void select(int from, int to);

    void setTrusted(bool trusted) { setGuarded(m_trusted, trusted); }
    // nullopt: the role cannot be read (the selection and value still can).
    void setRole(std::optional<ElementRole> role) { setGuarded(m_role, role); }
    void setPassword(bool password) { setGuarded(m_password, password); }
    // An unreadable value: Accessibility answers nothing for the value and the selection.
    void setValueReadable(bool readable) { setGuarded(m_valueReadable, readable); }
    void setCaretRect(std::optional<QRect> rect) { setGuarded(m_caretRect, rect); }
    // Shift+Return after a line that starts with "N. " or a bullet inserts the next marker by itself.
    void setListContinuation(bool on) { setGuarded(m_listContinuation, on); }
    void setTerminalMode(bool on) { setGuarded(m_terminal, on); }
    void setXtermMode(bool on)
    {
        std::lock_guard lock(m_mutex);
        m_terminal = m_xterm = on;
    }
    // Paste keystrokes wait until completePendingPastes(): the target asks for the clipboard late.
    void setDeferredPaste(bool on) { setGuarded(m_deferredPaste, on); }
    void completePendingPastes();

    // Another application copies: the clipboard changes and is no longer ours.
    void simulateCopy(const ClipboardSnapshot& contents) { m_clipboard.simulateCopy(contents); }
    // The user selects text elsewhere: PRIMARY changes and is no longer ours.
    void simulateSelection(const ClipboardSnapshot& contents) { primarySelection()->simulateCopy(contents); }
    int clipboardRestoreCount() const { return m_clipboard.restoreCount(); }
    FakeClipboard& clipboard() { return m_clipboard; }

    // Slow keystrokes: while held, keystroke calls block. waitForHeldKeystroke() returns once one is blocked
    // (false after a few seconds of real time without one).
    void holdKeystrokes() { setGuarded(m_holding, true); }
    bool waitForHeldKeystroke();
    void releaseKeystrokes();

    int backspacePresses() const;
    int chordCount(KeyChord chord) const;
    int valueReadCount() const { return guarded(m_valueReads); }

private:
    void beforeKeystroke(std::unique_lock<std::mutex>& lock) override;
    // m_mutex held for all of these.
    void keystrokeLocked(const SynthAction& action) override;
    void insertLocked(const QString& text);
    void backspaceLocked();
    void pasteLocked(bool fromPrimary);
    void chordLocked(KeyChord chord);
    QString selectionLocked() const;
    qsizetype offsetOfCharacterLocked(int index) const;
    qsizetype previousBoundaryLocked(qsizetype offset) const;
    qsizetype lineStartLocked(qsizetype offset) const;
    bool readableLocked(qint64 processId) const { return m_trusted && processId == kProcessId; }

    std::condition_variable m_keyGate;
    bool m_holding = false;
    bool m_heldKeystrokeWaiting = false;

    QString m_content;
    qsizetype m_caret = 0;  // UTF-16 offsets
    qsizetype m_anchor = 0; // selection is [min(anchor, caret), max(...))

    bool m_trusted = true;
    std::optional<ElementRole> m_role = ElementRole::Other;
    bool m_password = false;
    bool m_valueReadable = true;
    std::optional<QRect> m_caretRect;
    bool m_listContinuation = false;
    bool m_terminal = false;
    bool m_xterm = false;
    bool m_deferredPaste = false;
    QList<bool> m_pendingPastes; // each: from PRIMARY

    FakeClipboard m_clipboard;
    int m_valueReads = 0;
};
