#include "platform/linux/X11KeyMap.h"

#include "platform/KeyEvent.h"

#include <array>

#include "platform/linux/XlibIncludes.h"

namespace {

using namespace ModifierFlag;

constexpr std::uint64_t kNavigation = Function;
constexpr std::uint64_t kArrow = Function | NumericPad;
constexpr std::uint64_t kKeypad = NumericPad;

struct Row {
    unsigned long keysym;
    std::uint16_t keyCode;
    std::uint64_t modifierFlags;
    std::uint64_t keyFlags;
};

// Where a macOS code has several keysyms, the usual one comes first: it is the one grabbed and posted.
constexpr Row kRows[] = {
    // Letters and digits by their US positions.
    {XK_a, 0, 0, 0},
    {XK_s, 1, 0, 0},
    {XK_d, 2, 0, 0},
    {XK_f, 3, 0, 0},
    {XK_h, 4, 0, 0},
    {XK_g, 5, 0, 0},
    {XK_z, 6, 0, 0},
    {XK_x, 7, 0, 0},
    {XK_c, 8, 0, 0},
    {XK_v, 9, 0, 0},
    {XK_b, 11, 0, 0},
    {XK_q, 12, 0, 0},
    {XK_w, 13, 0, 0},
    {XK_e, 14, 0, 0},
    {XK_r, 15, 0, 0},
    {XK_y, 16, 0, 0},
    {XK_t, 17, 0, 0},
    {XK_1, 18, 0, 0},
    {XK_2, 19, 0, 0},
    {XK_3, 20, 0, 0},
    {XK_4, 21, 0, 0},
    {XK_6, 22, 0, 0},
    {XK_5, 23, 0, 0},
    {XK_equal, 24, 0, 0},
    {XK_9, 25, 0, 0},
    {XK_7, 26, 0, 0},
    {XK_minus, 27, 0, 0},
    {XK_8, 28, 0, 0},
    {XK_0, 29, 0, 0},
    {XK_bracketright, 30, 0, 0},
    {XK_o, 31, 0, 0},
    {XK_u, 32, 0, 0},
    {XK_bracketleft, 33, 0, 0},
    {XK_i, 34, 0, 0},
    {XK_p, 35, 0, 0},
    {XK_Return, 36, 0, 0},
    {XK_l, 37, 0, 0},
    {XK_j, 38, 0, 0},
    {XK_apostrophe, 39, 0, 0},
    {XK_k, 40, 0, 0},
    {XK_semicolon, 41, 0, 0},
    {XK_backslash, 42, 0, 0},
    {XK_comma, 43, 0, 0},
    {XK_slash, 44, 0, 0},
    {XK_n, 45, 0, 0},
    {XK_m, 46, 0, 0},
    {XK_period, 47, 0, 0},
    {XK_Tab, 48, 0, 0},
    {XK_ISO_Left_Tab, 48, 0, 0},
    {XK_space, 49, 0, 0},
    {XK_grave, 50, 0, 0},
    {XK_BackSpace, 51, 0, 0},
    {XK_Escape, 53, 0, 0},

    // Modifiers. Option is Alt (or Meta, or AltGr on the right), Command is Super.
    {XK_Super_R, 54, Command | DeviceRightCommand, 0},
    {XK_Super_L, 55, Command | DeviceLeftCommand, 0},
    {XK_Shift_L, 56, Shift | DeviceLeftShift, 0},
    {XK_Caps_Lock, 57, 0, 0},
    {XK_Alt_L, 58, Option | DeviceLeftOption, 0},
    {XK_Meta_L, 58, Option | DeviceLeftOption, 0},
    {XK_Control_L, 59, Control | DeviceLeftControl, 0},
    {XK_Shift_R, 60, Shift | DeviceRightShift, 0},
    {XK_Alt_R, 61, Option | DeviceRightOption, 0},
    {XK_Meta_R, 61, Option | DeviceRightOption, 0},
    {XK_ISO_Level3_Shift, 61, Option | DeviceRightOption, 0},
    {XK_Control_R, 62, Control | DeviceRightControl, 0},

    // Function keys.
    {XK_F1, 122, 0, kNavigation},
    {XK_F2, 120, 0, kNavigation},
    {XK_F3, 99, 0, kNavigation},
    {XK_F4, 118, 0, kNavigation},
    {XK_F5, 96, 0, kNavigation},
    {XK_F6, 97, 0, kNavigation},
    {XK_F7, 98, 0, kNavigation},
    {XK_F8, 100, 0, kNavigation},
    {XK_F9, 101, 0, kNavigation},
    {XK_F10, 109, 0, kNavigation},
    {XK_F11, 103, 0, kNavigation},
    {XK_F12, 111, 0, kNavigation},
    {XK_F13, 105, 0, kNavigation},
    {XK_F14, 107, 0, kNavigation},
    {XK_F15, 113, 0, kNavigation},
    {XK_F16, 106, 0, kNavigation},
    {XK_F17, 64, 0, kNavigation},
    {XK_F18, 79, 0, kNavigation},
    {XK_F19, 80, 0, kNavigation},
    {XK_F20, 90, 0, kNavigation},

    // Navigation: Insert sits where the Help key is; a key posted as 114 is Insert, which PC keyboards have.
    {XK_Insert, 114, 0, kNavigation},
    {XK_Help, 114, 0, kNavigation},
    {XK_Home, 115, 0, kNavigation},
    {XK_Prior, 116, 0, kNavigation},
    {XK_Delete, 117, 0, kNavigation},
    {XK_End, 119, 0, kNavigation},
    {XK_Next, 121, 0, kNavigation},
    {XK_Left, 123, 0, kArrow},
    {XK_Right, 124, 0, kArrow},
    {XK_Down, 125, 0, kArrow},
    {XK_Up, 126, 0, kArrow},
    {XK_Menu, 110, 0, 0},

    // Keypad, with Num Lock on and off (the base level of a keypad key is its navigation keysym).
    {XK_KP_Decimal, 65, 0, kKeypad},
    {XK_KP_Delete, 65, 0, kKeypad},
    {XK_KP_Multiply, 67, 0, kKeypad},
    {XK_KP_Add, 69, 0, kKeypad},
    {XK_Num_Lock, 71, 0, kKeypad},
    {XK_KP_Divide, 75, 0, kKeypad},
    {XK_KP_Enter, 76, 0, kKeypad},
    {XK_KP_Subtract, 78, 0, kKeypad},
    {XK_KP_Equal, 81, 0, kKeypad},
    {XK_KP_0, 82, 0, kKeypad},
    {XK_KP_Insert, 82, 0, kKeypad},
    {XK_KP_1, 83, 0, kKeypad},
    {XK_KP_End, 83, 0, kKeypad},
    {XK_KP_2, 84, 0, kKeypad},
    {XK_KP_Down, 84, 0, kKeypad},
    {XK_KP_3, 85, 0, kKeypad},
    {XK_KP_Next, 85, 0, kKeypad},
    {XK_KP_4, 86, 0, kKeypad},
    {XK_KP_Left, 86, 0, kKeypad},
    {XK_KP_5, 87, 0, kKeypad},
    {XK_KP_Begin, 87, 0, kKeypad},
    {XK_KP_6, 88, 0, kKeypad},
    {XK_KP_Right, 88, 0, kKeypad},
    {XK_KP_7, 89, 0, kKeypad},
    {XK_KP_Home, 89, 0, kKeypad},
    {XK_KP_8, 91, 0, kKeypad},
    {XK_KP_Up, 91, 0, kKeypad},
    {XK_KP_9, 92, 0, kKeypad},
    {XK_KP_Prior, 92, 0, kKeypad},
};

} // namespace

namespace X11KeyMap {

MacKey fromKeysym(unsigned long keysym)
{
    if (keysym == XK_Caps_Lock) {
        MacKey key;
        key.keyCode = ::KeyCode::CapsLock;
        key.isCapsLock = true;
        return key;
    }
    // Letters are named by their lower-case keysym whatever the case the level gives.
    if (keysym >= XK_A && keysym <= XK_Z)
        keysym += XK_a - XK_A;
    for (const Row& row : kRows) {
        if (row.keysym == keysym)
            return {row.keyCode, row.modifierFlags, row.keyFlags, false};
    }
    return {};
}

std::vector<unsigned long> keysymsFor(std::uint16_t keyCode)
{
    std::vector<unsigned long> keysyms;
    for (const Row& row : kRows) {
        if (row.keyCode == keyCode)
            keysyms.push_back(row.keysym);
    }
    return keysyms;
}

unsigned int x11Modifiers(std::uint32_t carbonModifiers)
{
    unsigned int mask = 0;
    if (carbonModifiers & CarbonModifier::Control)
        mask |= ControlMask;
    if (carbonModifiers & CarbonModifier::Option)
        mask |= Mod1Mask;
    if (carbonModifiers & CarbonModifier::Shift)
        mask |= ShiftMask;
    if (carbonModifiers & CarbonModifier::Command)
        mask |= Mod4Mask;
    return mask;
}

bool KeycodeTable::load(Display* display)
{
    m_keys.assign(256, MacKey{});
    m_modifierKeycodes.clear();
    XkbDescPtr xkb = XkbGetMap(display, XkbKeySymsMask, XkbUseCoreKbd);
    if (!xkb)
        return false;
    for (unsigned keycode = xkb->min_key_code; keycode <= xkb->max_key_code && keycode < 256; ++keycode) {
        // The base level of the first group that names a key we know: a Latin group in a multi-layout setup
        // names the letters even when the first group is, say, Cyrillic.
        const int groups = XkbKeyNumGroups(xkb, keycode);
        for (int group = 0; group < groups; ++group) {
            const MacKey key = fromKeysym(XkbKeySymEntry(xkb, keycode, 0, group));
            if (key.isKnown()) {
                m_keys[keycode] = key;
                break;
            }
        }
        if (m_keys[keycode].isModifier())
            m_modifierKeycodes.push_back(keycode);
    }
    XkbFreeKeyboard(xkb, 0, True);
    return true;
}

const MacKey& KeycodeTable::at(unsigned keycode) const
{
    static const MacKey unknown;
    return keycode < m_keys.size() ? m_keys[keycode] : unknown;
}

} // namespace X11KeyMap
