#include "system/ShortcutRecorder.h"

#include "system/HotkeyMonitor.h"
#include "system/KeyNames.h"

namespace {

// Shift, Control, Option, Command and Function: all up means the attempt is over.
constexpr std::uint64_t kAnyModifierMask = ModifierFlag::Shift | ModifierFlag::Control |
                                           ModifierFlag::Option | ModifierFlag::Command |
                                           ModifierFlag::Function;
// The modifiers a recorded combination keeps; Function and Caps Lock do not count.
constexpr std::uint64_t kComboModifierMask =
    ModifierFlag::Shift | ModifierFlag::Control | ModifierFlag::Option | ModifierFlag::Command;

} // namespace

void ShortcutRecorder::reset()
{
    m_captureCandidateSingleModifier.reset();
    m_captureSawOtherKey = false;
}

std::optional<RecordedShortcutResult> ShortcutRecorder::handle(const KeyEvent& event)
{
    switch (event.kind) {
    case KeyEvent::Kind::FlagsChanged:
        return modifierStep(event.keyCode, event.flags);
    case KeyEvent::Kind::KeyDown:
        return keyStep(event.keyCode, event.flags);
    case KeyEvent::Kind::KeyUp:
        break;
    }
    return std::nullopt;
}

std::optional<RecordedShortcutResult> ShortcutRecorder::modifierStep(std::uint16_t keyCode,
                                                                     std::uint64_t flags)
{
    if ((flags & kAnyModifierMask) == 0) {
        if (m_captureCandidateSingleModifier && !m_captureSawOtherKey)
            return RecordedShortcutResult::preset(*m_captureCandidateSingleModifier);
        reset();
        return std::nullopt;
    }
    if (m_captureSawOtherKey) {
        m_captureCandidateSingleModifier.reset();
        return std::nullopt;
    }
    const std::optional<TriggerKeyOption> option = HotkeyMonitor::singleModifierOption(keyCode, flags);
    if (!option || HotkeyMonitor::hasConflictingModifiers(*option, flags)) {
        m_captureCandidateSingleModifier.reset();
        m_captureSawOtherKey = true;
        return std::nullopt;
    }
    m_captureCandidateSingleModifier = option;
    return std::nullopt;
}

std::optional<RecordedShortcutResult> ShortcutRecorder::keyStep(std::uint16_t keyCode, std::uint64_t flags)
{
    m_captureCandidateSingleModifier.reset();
    m_captureSawOtherKey = true;

    const std::uint64_t modifiers = flags & kComboModifierMask;
    if (keyCode == KeyCode::Escape && modifiers == 0)
        return RecordedShortcutResult::cancelled();
    if (modifiers == 0 && !KeyNames::isFunctionKey(keyCode))
        return std::nullopt; // a plain key: recording goes on

    const std::uint32_t carbon = KeyNames::carbonModifiers(modifiers);
    if (keyCode == KeyCode::Space && carbon == CarbonModifier::Option)
        return RecordedShortcutResult::preset(TriggerKeyOption::optionSpace);
    CustomHotkeySpec shortcut;
    shortcut.keyCode = keyCode;
    shortcut.carbonModifiers = carbon;
    shortcut.label = KeyNames::formatComboLabel(keyCode, carbon);
    return RecordedShortcutResult::custom(std::move(shortcut));
}
