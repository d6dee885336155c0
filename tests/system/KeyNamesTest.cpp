#include "system/KeyNames.h"

#include "platform/KeyEvent.h"

#include <gtest/gtest.h>

TEST(KeyNames, NamesFromTheTableElseKeyAndCode)
{
    EXPECT_EQ(KeyNames::keyName(0), QStringLiteral("A"));
    EXPECT_EQ(KeyNames::keyName(22), QStringLiteral("6"));
    EXPECT_EQ(KeyNames::keyName(23), QStringLiteral("5"));
    EXPECT_EQ(KeyNames::keyName(42), QStringLiteral("\\"));
    EXPECT_EQ(KeyNames::keyName(50), QStringLiteral("`"));
    EXPECT_EQ(KeyNames::keyName(51), QStringLiteral("Delete"));
    EXPECT_EQ(KeyNames::keyName(64), QStringLiteral("F17"));
    EXPECT_EQ(KeyNames::keyName(126), QStringLiteral("↑"));
    EXPECT_EQ(KeyNames::keyName(53), QStringLiteral("Key53"));
    EXPECT_EQ(KeyNames::keyName(10), QStringLiteral("Key10"));
    EXPECT_EQ(KeyNames::keyName(65535), QStringLiteral("Key65535"));
}

TEST(KeyNames, ComboLabelsAndMasks)
{
    EXPECT_EQ(KeyNames::formatComboLabel(49, 0x1000), QStringLiteral("⌃ + Space"));
    EXPECT_EQ(KeyNames::formatComboLabel(0, 0x1000 | 0x0800 | 0x0200 | 0x0100),
              QStringLiteral("⌃ + ⌥ + ⇧ + ⌘ + A"));
    EXPECT_EQ(KeyNames::formatComboLabel(96, 0), QStringLiteral("F5"));
    EXPECT_EQ(KeyNames::formatComboLabel(49, 0x0001), QStringLiteral("Space"))
        << "unknown bits are not shown";

    using namespace ModifierFlag;
    EXPECT_EQ(KeyNames::carbonModifiers(Control | Option | Shift | Command), 0x1B00u);
    EXPECT_EQ(KeyNames::carbonModifiers(Command | DeviceLeftCommand | CapsLock | Function | NumericPad),
              0x0100u);
    EXPECT_EQ(KeyNames::carbonModifiers(0), 0u);

    for (std::uint16_t code :
         {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111, 105, 107, 113, 106, 64, 79, 80, 90})
        EXPECT_TRUE(KeyNames::isFunctionKey(code)) << code;
    EXPECT_FALSE(KeyNames::isFunctionKey(53));
    EXPECT_FALSE(KeyNames::isFunctionKey(123));
}
