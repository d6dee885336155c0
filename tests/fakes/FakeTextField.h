#pragma once

#include "fakes/FakeInputSynth.h"
#include "platform/Accessibility.h"
#include "platform/Clipboard.h"
#include "platform/InputSynth.h"

#include <QList>
#include <condition_variable>
#include <mutex>
#include <optional>

// One focused text field of another application, behind the three services that reach it: keystrokes land
// in it (InputSynth), Accessibility reads it, and its paste reads the clipboard it shares with us. It keeps
// a text, a caret and a selection; Backspace and Shift+Left work by character; Ctrl+A selects everything;
// Shift+Return can continue a list the way rich editors do. In terminal mode it behaves like a shell line:
// Ctrl+A goes to the line start, Shift+Left only moves, and only Ctrl+Shift+V pastes.
//
// Keystrokes may come from any thread. Holding the keys makes every keystroke call block until released,
// which stands for a slow target during a pacer tick.
class FakeTextField final : public Accessibility, public InputSynth, public Clipboard {
public:
    static constexpr qint64 kProcessId = 4242;

    // --- Accessibility ---
    bool isTrusted() override;
    bool requestTrust() override;
    QString untrustedReason() override { return {}; }
    std::optional<FocusedElement> focusedElement(qint64 processId) override;
    std::optional<QString> selectedText(qint64 processId) override;
    std::optional<QString> focusedValue(qint64 processId) override;
    std::optional<QRect> caretRect(qint64 processId) override;

    // --- InputSynth ---
    Status typeText(const QString& text) override;
    Status pressChord(KeyChord chord) override;
    Status pressBackspace(int count) override;
    void setPostedKeyObserver(PostedKeyObserver observer) override;

    // --- Clipboard ---
    ClipboardSnapshot snapshot() const override;
    void restore(const ClipboardSnapshot& snapshot) override;
    void setText(const QString& text) override;
    QString text() const override;
    quint64 changeCount() const override;
    bool ownsContents() const override;
    bool contentsWereRequested() const override;

    // --- The field ---
    // Replaces the content; the caret goes to `caret` (a character index; -1 for the end), nothing selected.
    void setContent(const QString& content, int caret = -1);
    QString content() const;
    int caretPosition() const; // in characters
    QString selectedContent() const;
    // Selects characters [from, to).
    void select(int from, int to);

    void setTrusted(bool trusted);
    void setRole(ElementRole role);
    void setPassword(bool password);
    // An unreadable value: Accessibility answers nothing for the value and the selection.
    void setValueReadable(bool readable);
    void setCaretRect(std::optional<QRect> rect);
    // Shift+Return after a line that starts with "N. " or a bullet inserts the next marker by itself.
    void setListContinuation(bool on);
    void setTerminalMode(bool on);
    // Paste keystrokes wait until completePendingPastes(): the target asks for the clipboard late.
    void setDeferredPaste(bool on);
    void completePendingPastes();

    // Another application copies: the clipboard changes and is no longer ours.
    void simulateCopy(const ClipboardSnapshot& contents);
    int clipboardRestoreCount() const;

    // Slow keystrokes: while held, keystroke calls block. waitForHeldKeystroke() returns once one is blocked
    // (false after a few seconds of real time without one).
    void holdKeystrokes();
    bool waitForHeldKeystroke();
    void releaseKeystrokes();

    QList<SynthAction> actions() const;
    void clearActions();
    int backspacePresses() const;
    int chordCount(KeyChord chord) const;
    int valueReadCount() const;

private:
    Status keystroke(const SynthAction& action, const QList<KeyEvent>& events);
    // m_mutex held for all of these.
    void insertLocked(const QString& text);
    void backspaceLocked();
    void pasteLocked();
    void chordLocked(KeyChord chord);
    int characterIndexLocked(qsizetype offset) const;
    qsizetype offsetOfCharacterLocked(int index) const;
    qsizetype previousBoundaryLocked(qsizetype offset) const;
    qsizetype lineStartLocked(qsizetype offset) const;
    bool readableLocked(qint64 processId) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_keyGate;
    bool m_holding = false;
    bool m_heldKeystrokeWaiting = false;

    QString m_content;
    qsizetype m_caret = 0;  // UTF-16 offsets
    qsizetype m_anchor = 0; // selection is [min(anchor, caret), max(...))

    bool m_trusted = true;
    ElementRole m_role = ElementRole::Other;
    bool m_password = false;
    bool m_valueReadable = true;
    std::optional<QRect> m_caretRect;
    bool m_listContinuation = false;
    bool m_terminal = false;
    bool m_deferredPaste = false;
    int m_pendingPastes = 0;

    ClipboardSnapshot m_clipboard;
    quint64 m_changeCount = 0;
    bool m_clipboardOurs = false;
    bool m_clipboardRequested = false;
    int m_restoreCount = 0;

    PostedKeyObserver m_observer;
    QList<SynthAction> m_actions;
    int m_valueReads = 0;
};
