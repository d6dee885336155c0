#pragma once

#include <QString>
#include <cstdint>

// Names and labels of keys in the stored shortcut form: macOS virtual key codes and Carbon modifier masks.
namespace KeyNames {

// F1 to F20: the keys that may be recorded as a shortcut without any modifier.
bool isFunctionKey(std::uint16_t keyCode);

// The Carbon mask of the Control, Option, Shift and Command family flags present in `flags`.
std::uint32_t carbonModifiers(std::uint64_t flags);

// The display name of a key ("A", "Space", "F5", "←"); "Key" and the decimal code for any other key.
QString keyName(std::uint16_t keyCode);

// "⌃ + ⌥ + ⇧ + ⌘ + Key": the modifiers always in this order, whatever order they were pressed in.
QString formatComboLabel(std::uint16_t keyCode, std::uint32_t carbonModifiers);

} // namespace KeyNames
