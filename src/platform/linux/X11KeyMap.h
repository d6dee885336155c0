#pragma once

#include <cstdint>
#include <vector>

typedef struct _XDisplay Display;

// The one table between the two key-code spaces: X keysyms on one side, macOS virtual key codes with their
// modifier flags (family flags plus the left/right device bits) on the other. macOS codes name physical key
// positions of a US layout; X names keys by keysym, so a key is found by the keysym its base level has.
namespace X11KeyMap {

struct MacKey {
    std::uint16_t keyCode = 0xFFFF; // KeyCode::Unknown
    // For a modifier key: its family flag and device bit, set while it is down.
    std::uint64_t modifierFlags = 0;
    // Flags a key event of this key carries on its own (Function for F-keys and navigation keys, NumericPad
    // for the keypad and arrows).
    std::uint64_t keyFlags = 0;
    bool isCapsLock = false;

    bool isModifier() const { return modifierFlags != 0 || isCapsLock; }
    bool isKnown() const { return keyCode != 0xFFFF; }
};

// The macOS key for a keysym; unknown for keysyms without one.
MacKey fromKeysym(unsigned long keysym);

// The keysyms a macOS key code stands for, the usual one first (Alt_L before Meta_L); empty for none.
std::vector<unsigned long> keysymsFor(std::uint16_t keyCode);

// The X modifier mask of a Carbon mask: Control is Control, Option is Mod1 (Alt), Shift is Shift and
// Command is Mod4 (Super).
unsigned int x11Modifiers(std::uint32_t carbonModifiers);

// Keycode-indexed translation of the server's current keymap; rebuilt when the keymap changes.
class KeycodeTable {
public:
    // Reads the keymap of `display`; false (and an empty table) when it cannot be read.
    bool load(Display* display);
    const MacKey& at(unsigned keycode) const;
    // The keycodes of modifier keys (Caps Lock included), for quick modifier-state sums.
    const std::vector<unsigned>& modifierKeycodes() const { return m_modifierKeycodes; }

private:
    std::vector<MacKey> m_keys = std::vector<MacKey>(256);
    std::vector<unsigned> m_modifierKeycodes;
};

} // namespace X11KeyMap
