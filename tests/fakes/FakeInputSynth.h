#pragma once

#include "fakes/Guarded.h"
#include "platform/InputSynth.h"

#include <QList>
#include <optional>

// One thing the synthesiser was asked to do.
struct SynthAction {
    enum class Kind { Text, Chord, Backspace };

    Kind kind = Kind::Text;
    QString text;
    KeyChord chord;
    int count = 0;

    static SynthAction typed(QString text) { return {Kind::Text, std::move(text), {}, 0}; }
    static SynthAction pressed(KeyChord chord) { return {Kind::Chord, {}, chord, 0}; }
    static SynthAction backspaces(int count) { return {Kind::Backspace, {}, {}, count}; }
    bool operator==(const SynthAction&) const = default;
};

// Records every request in order. Like the real one it reports each key event to the posted-key observer
// before "posting" it: chords and Backspaces under their own key codes, typed text as one key pair per
// character under KeyCode::Unknown. A subclass that acts on the keystrokes does so through the two hooks.
class FakeInputSynth : public InputSynth, protected Guarded {
public:
    Status typeText(const QString& text) final;
    Status pressChord(KeyChord chord) final { return record(SynthAction::pressed(chord)); }
    // Nothing to prepare: every character has a key here.
    Status prepareToType(const QString&) final { return Status::success(); }
    Status pressBackspace(int count) final;
    void setPostedKeyObserver(PostedKeyObserver observer) final
    {
        setGuarded(m_observer, std::move(observer));
    }

    QList<SynthAction> actions() const { return guarded(m_actions); }
    void clearActions() { setGuarded(m_actions, QList<SynthAction>()); }
    // While set, every request fails with this reason and posts nothing, as when the X server refuses.
    void setFailure(std::optional<QString> reason) { setGuarded(m_failure, std::move(reason)); }

protected:
    // Before a keystroke is posted, with m_mutex held in `lock`, which it may wait on.
    virtual void beforeKeystroke(std::unique_lock<std::mutex>&) {}
    // After the keystroke is posted and recorded, m_mutex held.
    virtual void keystrokeLocked(const SynthAction&) {}

    QList<SynthAction> m_actions;

private:
    Status record(const SynthAction& action);

    PostedKeyObserver m_observer;
    std::optional<QString> m_failure;
};
