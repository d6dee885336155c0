#pragma once

#include "platform/InputSynth.h"

#include <QList>
#include <mutex>
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
// character under KeyCode::Unknown.
class FakeInputSynth final : public InputSynth {
public:
    Status typeText(const QString& text) override;
    Status pressChord(KeyChord chord) override;
    Status pressBackspace(int count) override;
    void setPostedKeyObserver(PostedKeyObserver observer) override;

    // While set, every request fails with this reason and nothing is recorded or posted.
    void setFailure(std::optional<QString> reason);

    QList<SynthAction> actions() const;
    // All text typed so far, joined.
    QString typedText() const;
    void clear();

private:
    Status record(const SynthAction& action, const QList<KeyEvent>& events);

    mutable std::mutex m_mutex;
    QList<SynthAction> m_actions;
    PostedKeyObserver m_observer;
    std::optional<QString> m_failure;
};
