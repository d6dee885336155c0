#pragma once

#include <cstdint>

// Keys cross the platform seam in macOS terms: virtual key codes and modifier-flag words with the left/right
// device bits. The X11 backends translate once at the edge, so the trigger rules, the stored custom shortcut
// (key code + Carbon mask) and the key-name labels work unchanged.

namespace KeyCode {
inline constexpr std::uint16_t A = 0;
inline constexpr std::uint16_t V = 9;
inline constexpr std::uint16_t Return = 36;
inline constexpr std::uint16_t Tab = 48;
inline constexpr std::uint16_t Space = 49;
inline constexpr std::uint16_t Delete = 51; // Backspace
inline constexpr std::uint16_t Escape = 53;
inline constexpr std::uint16_t RightCommand = 54;
inline constexpr std::uint16_t LeftCommand = 55;
inline constexpr std::uint16_t LeftShift = 56;
inline constexpr std::uint16_t CapsLock = 57;
inline constexpr std::uint16_t LeftOption = 58;
inline constexpr std::uint16_t LeftControl = 59;
inline constexpr std::uint16_t RightShift = 60;
inline constexpr std::uint16_t RightOption = 61;
inline constexpr std::uint16_t RightControl = 62;
inline constexpr std::uint16_t Function = 63;
// Help on a Mac keyboard, Insert on a PC one.
inline constexpr std::uint16_t Insert = 114;
inline constexpr std::uint16_t LeftArrow = 123;
inline constexpr std::uint16_t RightArrow = 124;
inline constexpr std::uint16_t DownArrow = 125;
inline constexpr std::uint16_t UpArrow = 126;
inline constexpr std::uint16_t FunctionGlobe = 179; // some keyboards report fn under this code
// An X key with no macOS counterpart (for example a spare keycode remapped to type a character).
inline constexpr std::uint16_t Unknown = 0xFFFF;
} // namespace KeyCode

namespace ModifierFlag {
// Device-independent family flags.
inline constexpr std::uint64_t CapsLock = 0x10000;
inline constexpr std::uint64_t Shift = 0x20000;
inline constexpr std::uint64_t Control = 0x40000;
inline constexpr std::uint64_t Option = 0x80000;
inline constexpr std::uint64_t Command = 0x100000;
inline constexpr std::uint64_t NumericPad = 0x200000;
inline constexpr std::uint64_t Function = 0x800000;

// Device-dependent bits: which side of a modifier pair is down.
inline constexpr std::uint64_t DeviceLeftControl = 0x1;
inline constexpr std::uint64_t DeviceLeftShift = 0x2;
inline constexpr std::uint64_t DeviceRightShift = 0x4;
inline constexpr std::uint64_t DeviceLeftCommand = 0x8;
inline constexpr std::uint64_t DeviceRightCommand = 0x10;
inline constexpr std::uint64_t DeviceLeftOption = 0x20;
inline constexpr std::uint64_t DeviceRightOption = 0x40;
inline constexpr std::uint64_t DeviceRightControl = 0x2000;
} // namespace ModifierFlag

// Modifier mask of a registered hot key, as the stored custom shortcut keeps it.
namespace CarbonModifier {
inline constexpr std::uint32_t Command = 0x0100;
inline constexpr std::uint32_t Shift = 0x0200;
inline constexpr std::uint32_t Option = 0x0800;
inline constexpr std::uint32_t Control = 0x1000;
} // namespace CarbonModifier

struct KeyEvent {
    enum class Kind { KeyDown, KeyUp, FlagsChanged };

    Kind kind = Kind::KeyDown;
    // For FlagsChanged, the modifier key that went down or up.
    std::uint16_t keyCode = 0;
    // The whole modifier state after the event: family flags plus device bits.
    std::uint64_t flags = 0;
    bool isAutoRepeat = false;
    // Posted through the XTest device, by us or another client; the synthetic-key ledger decides whether it
    // was ours.
    bool isSynthetic = false;
    // The backend's own code for the key (the X keycode), 0 when unknown. Lets the synthetic-key ledger tell
    // apart keys that share no macOS code, such as the spare keycodes remapped for typing.
    std::uint32_t nativeCode = 0;
    // Display-server time of the event in milliseconds (wraps after about 49 days), 0 when unknown. Events
    // that reach us over different connections are ordered by it.
    std::uint32_t time = 0;

    bool operator==(const KeyEvent&) const = default;
};

// A key pressed together with modifiers, e.g. Control+V. Only the family flags of `modifiers` count.
struct KeyChord {
    std::uint16_t keyCode = 0;
    std::uint64_t modifiers = 0;

    bool operator==(const KeyChord&) const = default;
};
