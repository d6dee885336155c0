#include "fakes/FakeInputSynth.h"

namespace {
void appendPress(QList<KeyEvent>& events, std::uint16_t keyCode, std::uint64_t modifiers)
{
    events.append({KeyEvent::Kind::KeyDown, keyCode, modifiers, false, true});
    events.append({KeyEvent::Kind::KeyUp, keyCode, modifiers, false, true});
}
} // namespace

Status FakeInputSynth::typeText(const QString& text)
{
    if (text.isEmpty())
        return Status::success();
    QList<KeyEvent> events;
    const qsizetype characters = text.toUcs4().size();
    for (qsizetype i = 0; i < characters; ++i)
        appendPress(events, KeyCode::Unknown, 0);
    return record(SynthAction::typed(text), events);
}

Status FakeInputSynth::pressChord(KeyChord chord)
{
    QList<KeyEvent> events;
    appendPress(events, chord.keyCode, chord.modifiers);
    return record(SynthAction::pressed(chord), events);
}

Status FakeInputSynth::pressBackspace(int count)
{
    if (count <= 0)
        return Status::success();
    QList<KeyEvent> events;
    for (int i = 0; i < count; ++i)
        appendPress(events, KeyCode::Delete, 0);
    return record(SynthAction::backspaces(count), events);
}

Status FakeInputSynth::record(const SynthAction& action, const QList<KeyEvent>& events)
{
    PostedKeyObserver observer;
    {
        std::lock_guard lock(m_mutex);
        if (m_failure)
            return Status::failure(*m_failure);
        observer = m_observer;
    }
    if (observer) {
        for (const KeyEvent& event : events)
            observer(event);
    }
    std::lock_guard lock(m_mutex);
    m_actions.append(action);
    return Status::success();
}

void FakeInputSynth::setPostedKeyObserver(PostedKeyObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void FakeInputSynth::setFailure(std::optional<QString> reason)
{
    std::lock_guard lock(m_mutex);
    m_failure = std::move(reason);
}

QList<SynthAction> FakeInputSynth::actions() const
{
    std::lock_guard lock(m_mutex);
    return m_actions;
}

QString FakeInputSynth::typedText() const
{
    std::lock_guard lock(m_mutex);
    QString text;
    for (const SynthAction& action : m_actions) {
        if (action.kind == SynthAction::Kind::Text)
            text += action.text;
    }
    return text;
}

void FakeInputSynth::clear()
{
    std::lock_guard lock(m_mutex);
    m_actions.clear();
}
