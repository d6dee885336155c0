#include "system/SyntheticKeyLedger.h"

namespace {

// Whether a key event is a press. A modifier change says so through the key's own bit in the flags after
// it; for Caps Lock (a toggle) it cannot be told.
std::optional<bool> pressDirection(const KeyEvent& event)
{
    switch (event.kind) {
    case KeyEvent::Kind::KeyDown:
        return true;
    case KeyEvent::Kind::KeyUp:
        return false;
    case KeyEvent::Kind::FlagsChanged:
        break;
    }
    std::uint64_t bit = 0;
    switch (event.keyCode) {
    case KeyCode::LeftControl:
        bit = ModifierFlag::DeviceLeftControl;
        break;
    case KeyCode::RightControl:
        bit = ModifierFlag::DeviceRightControl;
        break;
    case KeyCode::LeftShift:
        bit = ModifierFlag::DeviceLeftShift;
        break;
    case KeyCode::RightShift:
        bit = ModifierFlag::DeviceRightShift;
        break;
    case KeyCode::LeftOption:
        bit = ModifierFlag::DeviceLeftOption;
        break;
    case KeyCode::RightOption:
        bit = ModifierFlag::DeviceRightOption;
        break;
    case KeyCode::LeftCommand:
        bit = ModifierFlag::DeviceLeftCommand;
        break;
    case KeyCode::RightCommand:
        bit = ModifierFlag::DeviceRightCommand;
        break;
    case KeyCode::Function:
    case KeyCode::FunctionGlobe:
        bit = ModifierFlag::Function;
        break;
    default:
        return std::nullopt;
    }
    return (event.flags & bit) != 0;
}

} // namespace

void SyntheticKeyLedger::record(const KeyEvent& posted)
{
    const MonotonicTime now = m_clock.now();
    std::lock_guard lock(m_mutex);
    dropExpired(now);
    if (m_entries.size() >= kCapacity)
        m_entries.pop_front();
    m_entries.push_back(entryFor(posted, now));
}

InputSynth::PostedKeyObserver SyntheticKeyLedger::observer()
{
    return [this](const KeyEvent& posted) { record(posted); };
}

bool SyntheticKeyLedger::consumeMatch(const KeyEvent& observed)
{
    if (!observed.isSynthetic)
        return false; // a real key is never ours
    const MonotonicTime now = m_clock.now();
    const Entry wanted = entryFor(observed, now);
    std::lock_guard lock(m_mutex);
    dropExpired(now);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (matches(*it, wanted)) {
            m_entries.erase(it);
            return true;
        }
    }
    return false;
}

std::size_t SyntheticKeyLedger::size() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

SyntheticKeyLedger::Entry SyntheticKeyLedger::entryFor(const KeyEvent& event, MonotonicTime at)
{
    return {event.keyCode, event.nativeCode, pressDirection(event), at};
}

bool SyntheticKeyLedger::matches(const Entry& posted, const Entry& observed)
{
    // The native code is the sharper test: spare keycodes remapped for typing share the unknown macOS code.
    // Without it, a key the injector could not name stands for whichever key it pressed.
    const bool sameKey = (posted.nativeCode != 0 && observed.nativeCode != 0)
                             ? posted.nativeCode == observed.nativeCode
                             : posted.keyCode == observed.keyCode || posted.keyCode == KeyCode::Unknown;
    if (!sameKey)
        return false;
    return !posted.isPress || !observed.isPress || *posted.isPress == *observed.isPress;
}

void SyntheticKeyLedger::dropExpired(MonotonicTime now)
{
    while (!m_entries.empty() && now - m_entries.front().postedAt > kEntryLifetime)
        m_entries.pop_front();
}
