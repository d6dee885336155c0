#include "fakes/FakeInputSynth.h"

Status FakeInputSynth::typeText(const QString& text)
{
    return text.isEmpty() ? Status::success() : record(SynthAction::typed(text));
}

Status FakeInputSynth::pressBackspace(int count)
{
    return count <= 0 ? Status::success() : record(SynthAction::backspaces(count));
}

Status FakeInputSynth::record(const SynthAction& action)
{
    PostedKeyObserver observer;
    {
        std::unique_lock lock(m_mutex);
        beforeKeystroke(lock);
        if (m_failure)
            return Status::failure(*m_failure);
        observer = m_observer;
    }
    if (observer) {
        std::uint16_t keyCode = KeyCode::Unknown;
        std::uint64_t modifiers = 0;
        qsizetype presses = action.count;
        switch (action.kind) {
        case SynthAction::Kind::Text:
            presses = action.text.toUcs4().size();
            break;
        case SynthAction::Kind::Chord:
            keyCode = action.chord.keyCode;
            modifiers = action.chord.modifiers;
            presses = 1;
            break;
        case SynthAction::Kind::Backspace:
            keyCode = KeyCode::Delete;
            break;
        }
        for (qsizetype i = 0; i < presses; ++i) {
            observer({KeyEvent::Kind::KeyDown, keyCode, modifiers, false, true});
            observer({KeyEvent::Kind::KeyUp, keyCode, modifiers, false, true});
        }
    }
    std::lock_guard lock(m_mutex);
    m_actions.append(action);
    keystrokeLocked(action);
    return Status::success();
}
