#include "system/KeyNames.h"

#include "platform/KeyEvent.h"

#include <QStringList>
#include <array>
#include <utility>

namespace {

constexpr std::array<std::uint16_t, 20> kFunctionKeys = {122, 120, 99,  118, 96,  97,  98, 100, 101, 109,
                                                         103, 111, 105, 107, 113, 106, 64, 79,  80,  90};

struct KeyNameEntry {
    std::uint16_t keyCode;
    const char16_t* name;
};

constexpr std::array<KeyNameEntry, 75> kKeyNames = {{
    {0, u"A"},      {1, u"S"},     {2, u"D"},       {3, u"F"},     {4, u"H"},     {5, u"G"},
    {6, u"Z"},      {7, u"X"},     {8, u"C"},       {9, u"V"},     {11, u"B"},    {12, u"Q"},
    {13, u"W"},     {14, u"E"},    {15, u"R"},      {16, u"Y"},    {17, u"T"},    {18, u"1"},
    {19, u"2"},     {20, u"3"},    {21, u"4"},      {22, u"6"},    {23, u"5"},    {24, u"="},
    {25, u"9"},     {26, u"7"},    {27, u"-"},      {28, u"8"},    {29, u"0"},    {30, u"]"},
    {31, u"O"},     {32, u"U"},    {33, u"["},      {34, u"I"},    {35, u"P"},    {36, u"Return"},
    {37, u"L"},     {38, u"J"},    {39, u"'"},      {40, u"K"},    {41, u";"},    {42, u"\\"},
    {43, u","},     {44, u"/"},    {45, u"N"},      {46, u"M"},    {47, u"."},    {48, u"Tab"},
    {49, u"Space"}, {50, u"`"},    {51, u"Delete"}, {122, u"F1"},  {120, u"F2"},  {99, u"F3"},
    {118, u"F4"},   {96, u"F5"},   {97, u"F6"},     {98, u"F7"},   {100, u"F8"},  {101, u"F9"},
    {109, u"F10"},  {103, u"F11"}, {111, u"F12"},   {105, u"F13"}, {107, u"F14"}, {113, u"F15"},
    {106, u"F16"},  {64, u"F17"},  {79, u"F18"},    {80, u"F19"},  {90, u"F20"},  {123, u"←"},
    {124, u"→"},    {125, u"↓"},   {126, u"↑"},
}};

} // namespace

namespace KeyNames {

bool isFunctionKey(std::uint16_t keyCode)
{
    for (std::uint16_t code : kFunctionKeys) {
        if (code == keyCode)
            return true;
    }
    return false;
}

std::uint32_t carbonModifiers(std::uint64_t flags)
{
    std::uint32_t mask = 0;
    if (flags & ModifierFlag::Control)
        mask |= CarbonModifier::Control;
    if (flags & ModifierFlag::Option)
        mask |= CarbonModifier::Option;
    if (flags & ModifierFlag::Shift)
        mask |= CarbonModifier::Shift;
    if (flags & ModifierFlag::Command)
        mask |= CarbonModifier::Command;
    return mask;
}

QString keyName(std::uint16_t keyCode)
{
    for (const KeyNameEntry& entry : kKeyNames) {
        if (entry.keyCode == keyCode)
            return QString::fromUtf16(entry.name);
    }
    return QStringLiteral("Key") + QString::number(keyCode);
}

QString formatComboLabel(std::uint16_t keyCode, std::uint32_t carbonModifiers)
{
    static const std::array<std::pair<std::uint32_t, QString>, 4> symbols = {{
        {CarbonModifier::Control, QStringLiteral("⌃")},
        {CarbonModifier::Option, QStringLiteral("⌥")},
        {CarbonModifier::Shift, QStringLiteral("⇧")},
        {CarbonModifier::Command, QStringLiteral("⌘")},
    }};
    QStringList parts;
    for (const auto& [bit, symbol] : symbols) {
        if (carbonModifiers & bit)
            parts.append(symbol);
    }
    parts.append(keyName(keyCode));
    return parts.join(QStringLiteral(" + "));
}

} // namespace KeyNames
