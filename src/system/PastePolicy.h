#pragma once

#include "platform/KeyEvent.h"
#include "platform/Workspace.h"

#include <optional>

// Which keys paste into the frontmost application, and from which selection. Terminals keep Ctrl+V for
// themselves (the literal next character), so they get their own paste keys; the xterm family pastes the
// PRIMARY selection with Shift+Insert and binds nothing to Ctrl+Shift+V.
struct PasteMethod {
    KeyChord chord;
    // The target reads the PRIMARY selection: the text must be owned there too for this paste.
    bool viaPrimarySelection = false;

    bool operator==(const PasteMethod&) const = default;
};

namespace PastePolicy {

inline constexpr KeyChord kPasteChord{KeyCode::V, ModifierFlag::Control};
inline constexpr KeyChord kTerminalPasteChord{KeyCode::V, ModifierFlag::Control | ModifierFlag::Shift};
inline constexpr KeyChord kPrimaryPasteChord{KeyCode::Insert, ModifierFlag::Shift};

// Known terminals by their table; another shell terminal gets Ctrl+Shift+V, everything else Ctrl+V. Without
// a PRIMARY selection to paste from, the xterm family falls back to Ctrl+Shift+V.
PasteMethod methodFor(const std::optional<FrontmostApplication>& app, bool primarySelectionAvailable);
// A terminal by the paste table or as a shell terminal: it has no selection to type over (Ctrl+A and
// Shift+Left move the shell's cursor instead).
bool isTerminal(const FrontmostApplication& app);

} // namespace PastePolicy
