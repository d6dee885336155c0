#include "util/Text.h"

#include <gtest/gtest.h>

TEST(Text, CountsUserPerceivedCharacters)
{
    EXPECT_EQ(Text::graphemeCount(u""), 0);
    EXPECT_EQ(Text::graphemeCount(u"hello"), 5);
    EXPECT_EQ(Text::graphemeCount(u"你好，world"), 8);
    EXPECT_EQ(Text::graphemeCount(u"🇨🇳"), 1) << "a flag is two regional indicators but one character";
    EXPECT_EQ(Text::graphemeCount(u"👨‍👩‍👧"), 1) << "a ZWJ family is one character";
    EXPECT_EQ(Text::graphemeCount(u"e\u0301"), 1) << "a combining accent joins its base";
    EXPECT_EQ(Text::graphemeCount(u"a\r\nb"), 3) << "CR LF is one character";
    EXPECT_EQ(Text::graphemeCount(u"😀x"), 2);
}

TEST(Text, CutsOnlyBetweenCharacters)
{
    EXPECT_EQ(Text::graphemePrefix(u"🇨🇳🇯🇵abc", 1), QStringLiteral("🇨🇳"));
    EXPECT_EQ(Text::graphemePrefix(u"abc", 10), QStringLiteral("abc"));
    EXPECT_EQ(Text::graphemePrefix(u"abc", 0), QString());
    EXPECT_EQ(Text::graphemeSuffix(u"ab😀", 1), QStringLiteral("😀"));
    EXPECT_EQ(Text::graphemeSuffix(u"ab", 5), QStringLiteral("ab"));
    EXPECT_EQ(Text::graphemes(u"a👨‍👩‍👧b"), (QStringList{QStringLiteral("a"), QStringLiteral("👨‍👩‍👧"), QStringLiteral("b")}));
    const auto bounds = Text::graphemeBoundaries(u"é😀");
    EXPECT_EQ(bounds, (QList<qsizetype>{0, 1, 3}));
}

TEST(Text, TrimsUnicodeWhitespaceAndNewlines)
{
    EXPECT_EQ(Text::trimmed(u" \t\n\u3000词\u00a0 \u2028"), QStringLiteral("词"));
    EXPECT_EQ(Text::trimmed(u"a b"), QStringLiteral("a b"));
    EXPECT_TRUE(Text::isBlank(u" \u3000\r\n"));
    EXPECT_TRUE(Text::isBlank(u""));
    EXPECT_FALSE(Text::isBlank(u" x "));
    EXPECT_FALSE(Text::isWhitespaceOrNewline(U'\u200b')) << "zero-width space is a format character, not a space";
}
