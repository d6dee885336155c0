#pragma once

#include "model/Models.h"
#include "platform/KeyEvent.h"

#include <optional>

// What recording a trigger shortcut produced.
struct RecordedShortcutResult {
    enum class Kind { preset, custom, cancelled };

    Kind kind = Kind::cancelled;
    TriggerKeyOption option; // meaningful for preset only
    CustomHotkeySpec shortcut;   // meaningful for custom only

    static RecordedShortcutResult preset(TriggerKeyOption option) { return {Kind::preset, option, {}}; }
    static RecordedShortcutResult custom(CustomHotkeySpec shortcut)
    {
        return {Kind::custom, {}, std::move(shortcut)};
    }
    static RecordedShortcutResult cancelled() { return {}; }

    // Same case and equal payload; the payload of the other cases does not count.
    friend bool operator==(const RecordedShortcutResult& a, const RecordedShortcutResult& b)
    {
        if (a.kind != b.kind)
            return false;
        switch (a.kind) {
        case Kind::preset:
            return a.option == b.option;
        case Kind::custom:
            return a.shortcut == b.shortcut;
        case Kind::cancelled:
            return true;
        }
        return false;
    }
};

// Turns the keystrokes of one recording into a result: a lone modifier pressed and released alone, exactly
// Option+Space, a key with modifiers (or a function key alone), or Escape alone to cancel. Pure state, fed
// by HotkeyMonitor while it records.
class ShortcutRecorder {
public:
    // Back to clean: no candidate, nothing seen.
    void reset();
    // A result when this keystroke completes the recording; nothing while it goes on.
    std::optional<RecordedShortcutResult> handle(const KeyEvent& event);

    std::optional<TriggerKeyOption> captureCandidateSingleModifier() const
    {
        return m_captureCandidateSingleModifier;
    }
    bool captureSawOtherKey() const { return m_captureSawOtherKey; }

private:
    std::optional<RecordedShortcutResult> modifierStep(std::uint16_t keyCode, std::uint64_t flags);
    std::optional<RecordedShortcutResult> keyStep(std::uint16_t keyCode, std::uint64_t flags);

    // The lone modifier held now, while it is still a clean candidate.
    std::optional<TriggerKeyOption> m_captureCandidateSingleModifier;
    // Something other than one clean modifier happened since every modifier was last up.
    bool m_captureSawOtherKey = false;
};
