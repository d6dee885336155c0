#include "llm/InstantDictionary.h"
#include "llm/LlmTestSupport.h"
#include "llm/PolishEngine.h"
#include "llm/StreamTextAssembler.h"

#include <gtest/gtest.h>

using namespace LlmTest;

namespace {

const LLMConfig kDefaults = LLMConfig::defaults();

QString format(const QString& text, const ActiveScreenContext& context = ActiveScreenContext::empty(),
               const LLMConfig& config = kDefaults)
{
    return PolishEngine::applyPostFormattingRules(text, context, config);
}

QString correct(const QString& text, const QList<LexiconEntry>& entries)
{
    return PolishEngine::applyInstantLocalDictionary(text, entries, ActiveScreenContext::empty(), kDefaults,
                                                     false);
}

} // namespace

TEST(PostFormatting, RegressionChecksOfTheSelfTest)
{
    EXPECT_EQ(format(QStringLiteral("使用DeepSeek提升百分之35速度。"), slack()),
              QStringLiteral("使用 DeepSeek 提升 35% 速度"));
    EXPECT_EQ(format(QStringLiteral("今天发财报会不会一样? 太好了!"), wechat()),
              QStringLiteral("今天发财报会不会一样？ 太好了！"));
    EXPECT_EQ(format(QStringLiteral("第一段说明。\n\n第二段继续。")),
              QStringLiteral("第一段说明。\n第二段继续。"));
    EXPECT_EQ(format(QStringLiteral("### 核心结论\n这是**重点内容**，请确认。"), wechat()),
              QStringLiteral("核心结论\n这是重点内容，请确认。"));
}

TEST(PostFormatting, TrimsAndKeepsEmptyEmpty)
{
    EXPECT_EQ(format(QString()), QString());
    EXPECT_EQ(format(QStringLiteral("   ")), QString());
    EXPECT_EQ(format(QStringLiteral("  \n你好  \n")), QStringLiteral("你好"));
}

TEST(PostFormatting, PercentagesOnlyFromDigits)
{
    EXPECT_EQ(format(QStringLiteral("涨了百分之3.5")), QStringLiteral("涨了 3.5%"));
    LLMConfig noSpacing = kDefaults;
    noSpacing.enablePanguSpacing = false;
    EXPECT_EQ(format(QStringLiteral("涨了百分之3.5"), ActiveScreenContext::empty(), noSpacing),
              QStringLiteral("涨了3.5%"));
    EXPECT_EQ(format(QStringLiteral("百分之五十"), ActiveScreenContext::empty(), noSpacing),
              QStringLiteral("百分之五十"));
}

TEST(PostFormatting, MarkdownAndPunctuationRepairSkipsCodeTargets)
{
    EXPECT_EQ(format(QStringLiteral("这是**重点**"), slack()), QStringLiteral("这是重点"));
    EXPECT_EQ(format(QStringLiteral("这是**重点**"), vscode()), QStringLiteral("这是**重点**"));
    EXPECT_EQ(format(QStringLiteral("## 标题"), vscode()), QStringLiteral("## 标题"));
    EXPECT_EQ(format(QStringLiteral("你好?")), QStringLiteral("你好？"));
    EXPECT_EQ(format(QStringLiteral("ok?")), QStringLiteral("ok?"));
    EXPECT_EQ(format(QStringLiteral("你好?"), vscode()), QStringLiteral("你好?"));
    // Blank lines collapse everywhere, code editors included.
    EXPECT_EQ(format(QStringLiteral("a\n \n\tb"), vscode()), QStringLiteral("a\n \n\tb"));
    EXPECT_EQ(format(QStringLiteral("a  \n\n\t b"), vscode()), QStringLiteral("a\nb"));
}

TEST(PostFormatting, PanguSpacingBetweenChineseAndLatin)
{
    EXPECT_EQ(format(QStringLiteral("用iPhone拍")), QStringLiteral("用 iPhone 拍"));
    EXPECT_EQ(format(QStringLiteral("100%完成")), QStringLiteral("100% 完成"));
    EXPECT_EQ(format(QStringLiteral("中a文")), QStringLiteral("中 a 文"));
    EXPECT_EQ(format(QStringLiteral("花了$5")), QStringLiteral("花了 $5"));
    LLMConfig off = kDefaults;
    off.enablePanguSpacing = false;
    EXPECT_EQ(format(QStringLiteral("用iPhone拍"), ActiveScreenContext::empty(), off),
              QStringLiteral("用iPhone拍"));
}

TEST(PostFormatting, TrailingPeriodOnlyInChatAndShellOnSingleLines)
{
    EXPECT_EQ(format(QStringLiteral("好的。"), slack()), QStringLiteral("好的"));
    EXPECT_EQ(format(QStringLiteral("好的。。"), slack()), QStringLiteral("好的。"));
    EXPECT_EQ(format(QStringLiteral("done."),
                     context(QStringLiteral("Terminal"), QStringLiteral("org.gnome.Terminal"))),
              QStringLiteral("done"));
    EXPECT_EQ(format(QStringLiteral("第一行。\n第二行。"), slack()), QStringLiteral("第一行。\n第二行。"));
    EXPECT_EQ(format(QStringLiteral("好的。")), QStringLiteral("好的。"));
    LLMConfig keep = kDefaults;
    keep.stripTrailingPeriodInChatApps = false;
    EXPECT_EQ(format(QStringLiteral("好的。"), slack(), keep), QStringLiteral("好的。"));
}

TEST(InstantDictionary, LineBreakCommandsAndUntouchedInput)
{
    EXPECT_EQ(correct(QString(), {}), QString());
    EXPECT_EQ(correct(QStringLiteral("   "), {}), QStringLiteral("   "));
    EXPECT_EQ(correct(QStringLiteral("第一行另起一行第二行"), {}), QStringLiteral("第一行\n第二行"));
    const QString paragraphs = correct(QStringLiteral("甲新起一段乙"), {});
    EXPECT_EQ(paragraphs, QStringLiteral("甲\n\n乙"));
    EXPECT_EQ(format(paragraphs), QStringLiteral("甲\n乙"));
    // stripPeriod runs the post-formatting as well.
    EXPECT_EQ(
        PolishEngine::applyInstantLocalDictionary(QStringLiteral("好的。"), {}, slack(), kDefaults, true),
        QStringLiteral("好的"));
}

TEST(InstantDictionary, RegressionCheckOfTheSelfTest)
{
    const QList<LexiconEntry> entries = {entry(
        QStringLiteral("SEO"), {QStringLiteral("Su"), QStringLiteral("s Su"), QStringLiteral("艾斯伊欧")})};
    EXPECT_EQ(correct(QStringLiteral("招这个 Su 的人做日本的 s Su，让 Summary 看一下 Supabase"), entries),
              QStringLiteral("招这个 SEO 的人做日本的 SEO，让 Summary 看一下 Supabase"));
}

TEST(InstantDictionary, ShortLatinAliasesMatchWholeWordsOnly)
{
    const QList<LexiconEntry> kubernetes = {entry(QStringLiteral("Kubernetes"), {QStringLiteral("cubes")})};
    EXPECT_EQ(correct(QStringLiteral("deploy cubes now"), kubernetes),
              QStringLiteral("deploy Kubernetes now"));
    EXPECT_EQ(correct(QStringLiteral("cubesat and subcubes"), kubernetes),
              QStringLiteral("cubesat and subcubes"));
    EXPECT_EQ(correct(QStringLiteral("部署CUBES到3cubes"), kubernetes),
              QStringLiteral("部署Kubernetes到3Kubernetes"));
    // Everyday words are never aliases.
    const QList<LexiconEntry> api = {entry(QStringLiteral("API"), {QStringLiteral("ai")})};
    EXPECT_EQ(correct(QStringLiteral("ai and AI"), api), QStringLiteral("ai and AI"));
}

TEST(InstantDictionary, LongestAliasFirstAndAtMostTwoHundredEntries)
{
    const QList<LexiconEntry> entries = {
        entry(QStringLiteral("X"), {QStringLiteral("abc"), QStringLiteral("abcdef")})};
    EXPECT_EQ(correct(QStringLiteral("abcdef abc"), entries), QStringLiteral("X X"));

    QList<LexiconEntry> many;
    for (int i = 0; i < 200; ++i)
        many.append(entry(QStringLiteral("T%1").arg(i), {QStringLiteral("无关词%1").arg(i)}));
    many.append(entry(QStringLiteral("星河"), {QStringLiteral("星合")}));
    EXPECT_EQ(correct(QStringLiteral("星合"), many), QStringLiteral("星合"));
    many.removeAt(0);
    EXPECT_EQ(correct(QStringLiteral("星合"), many), QStringLiteral("星河"));
}

TEST(InstantDictionary, ReplacementsAreLiteral)
{
    EXPECT_EQ(correct(QStringLiteral("花了 dollar 五块"),
                      {entry(QStringLiteral("US$1"), {QStringLiteral("dollar")})}),
              QStringLiteral("花了 US$1 五块"));
    EXPECT_EQ(
        correct(QStringLiteral("路径 ab 目录"), {entry(QStringLiteral("A\\B"), {QStringLiteral("ab")})}),
        QStringLiteral("路径 A\\B 目录"));
    EXPECT_EQ(
        correct(QStringLiteral("价格 jiage"), {entry(QStringLiteral("$0价"), {QStringLiteral("jiage")})}),
        QStringLiteral("价格 $0价"));
    // Aliases with pattern characters are matched as text.
    EXPECT_EQ(correct(QStringLiteral("c++ and c.+"), {entry(QStringLiteral("C++"), {QStringLiteral("c.+")})}),
              QStringLiteral("c++ and C++"));
}

TEST(InstantDictionary, AliasInsideItsOwnTermIsLeftAlone)
{
    const QList<LexiconEntry> entries = {entry(QStringLiteral("张三丰"), {QStringLiteral("张三")})};
    EXPECT_EQ(correct(QStringLiteral("张三丰和张三"), entries), QStringLiteral("张三丰和张三丰"));
    const QList<LexiconEntry> latin = {entry(QStringLiteral("Kubernetes"), {QStringLiteral("kubern")})};
    EXPECT_EQ(correct(QStringLiteral("kubernetes kubern"), latin), QStringLiteral("kubernetes Kubernetes"));
    // An alias that is the term in another case still takes the term's spelling.
    EXPECT_EQ(correct(QStringLiteral("用 github 吧"),
                      {entry(QStringLiteral("GitHub"), {QStringLiteral("github")})}),
              QStringLiteral("用 GitHub 吧"));
}

TEST(InstantDictionary, LaterEntriesSeeEarlierReplacementsAndBlankTermsDoNothing)
{
    const QList<LexiconEntry> chain = {entry(QStringLiteral("乙乙"), {QStringLiteral("甲甲")}),
                                       entry(QStringLiteral("丙丙"), {QStringLiteral("乙乙")})};
    EXPECT_EQ(correct(QStringLiteral("甲甲"), chain), QStringLiteral("丙丙"));
    LexiconEntry blank = entry(QStringLiteral("占位"), {QStringLiteral("要紧")});
    blank.term.clear();
    EXPECT_EQ(correct(QStringLiteral("要紧的事"), {blank}), QStringLiteral("要紧的事"));
}

TEST(InstantDictionary, CachedAndFreshCompilationsAgree)
{
    QList<LexiconEntry> entries = {entry(QStringLiteral("星河"), {QStringLiteral("星合")}),
                                   entry(QStringLiteral("SEO"), {QStringLiteral("Su")})};
    const QString text = QStringLiteral("让星合看 Su 数据");
    const auto cached = InstantDictionary::cached(entries);
    EXPECT_EQ(InstantDictionary::cached(entries), cached); // compiled once per lexicon content
    EXPECT_EQ(cached->apply(text), InstantDictionary::compile(entries)->apply(text));
    // An edited lexicon is compiled anew, not served from the old one.
    entries[0].aliases = {QStringLiteral("新河")};
    EXPECT_NE(InstantDictionary::cached(entries), cached);
    EXPECT_EQ(correct(text, entries), QStringLiteral("让星合看 SEO 数据"));
}

TEST(StreamTokens, TagsAreStrippedAndSeamsSpaced)
{
    EXPECT_EQ(PolishEngine::cleanAndSpaceStreamToken(QStringLiteral("<raw_speech>你好"), QString(), true),
              QStringLiteral("你好"));
    EXPECT_EQ(
        PolishEngine::cleanAndSpaceStreamToken(QStringLiteral("</raw_speech>"), QStringLiteral("x"), true),
        QString());
    EXPECT_EQ(PolishEngine::cleanAndSpaceStreamToken(QStringLiteral("App"), QStringLiteral("用"), true),
              QStringLiteral(" App"));
    EXPECT_EQ(PolishEngine::cleanAndSpaceStreamToken(QStringLiteral("完成"), QStringLiteral("100%"), true),
              QStringLiteral(" 完成"));
    EXPECT_EQ(PolishEngine::cleanAndSpaceStreamToken(QStringLiteral("$5"), QStringLiteral("花了"), true),
              QStringLiteral("$5"));
    EXPECT_EQ(PolishEngine::cleanAndSpaceStreamToken(QStringLiteral("App"), QStringLiteral("用"), false),
              QStringLiteral("App"));
}

TEST(StreamTokens, TagsSplitAcrossPiecesAreStillRemoved)
{
    StreamTextAssembler assembler(true);
    QString shown;
    for (const char* piece : {"<raw_", "speech>用", "iPhone", "拍</raw", "_speech", ">"})
        shown += assembler.push(QString::fromUtf8(piece));
    shown += assembler.finish();
    EXPECT_EQ(shown, QStringLiteral("用 iPhone 拍"));
    EXPECT_EQ(assembler.accumulated(), shown);

    // A "<" that never becomes a tag is shown once the next piece (or the end) decides it.
    StreamTextAssembler plain(false);
    EXPECT_EQ(plain.push(QStringLiteral("a <")), QStringLiteral("a "));
    EXPECT_EQ(plain.push(QStringLiteral("b")), QStringLiteral("<b"));
    EXPECT_EQ(plain.push(QStringLiteral(" </raw")), QStringLiteral(" "));
    EXPECT_EQ(plain.finish(), QStringLiteral("</raw"));
    EXPECT_EQ(plain.accumulated(), QStringLiteral("a <b </raw"));
}

TEST(FastPath, RegressionChecksOfTheSelfTest)
{
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(QStringLiteral("好的，那你动手把这3点改上吧。"), {},
                                                   FormattingStyle::structured, true, true));
    EXPECT_FALSE(
        PolishEngine::canBypassCloudPolish(QStringLiteral("嗯，那个帮我看一下第一点不对改成第二点。"), {},
                                           FormattingStyle::structured, true, true));
}

TEST(FastPath, LengthLimitsByRecogniserAndStyle)
{
    const QString twentyEight =
        QStringLiteral("今天下午我们一起去公园散步吧天气很好阳光明媚适合出门走走看看风景");
    ASSERT_GE(twentyEight.size(), 29);
    const QString exactly28 = twentyEight.left(28);
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(exactly28, {}, FormattingStyle::lightPolish, false, true));
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(twentyEight.left(29), {}, FormattingStyle::lightPolish,
                                                    false, true));

    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(QStringLiteral("好的收到了"), {},
                                                   FormattingStyle::structured, true, false));
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(QStringLiteral("我马上就过去"), {},
                                                   FormattingStyle::structured, true, false));
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(QStringLiteral("我马上就过去了"), {},
                                                    FormattingStyle::structured, true, false));
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(twentyEight.left(20), {}, FormattingStyle::lightPolish,
                                                   true, false));
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(twentyEight.left(21), {}, FormattingStyle::lightPolish,
                                                    true, false));
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(twentyEight.left(5), {}, FormattingStyle::lightPolish,
                                                   false, false));
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(twentyEight.left(6), {}, FormattingStyle::lightPolish,
                                                    false, false));
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(QStringLiteral("  \n"), {}, FormattingStyle::structured,
                                                   false, false));
}

TEST(FastPath, StuttersCuesAndHiddenTermsNeedTheModel)
{
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(QStringLiteral("我们我们走"), {},
                                                    FormattingStyle::lightPolish, false, true));
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(QStringLiteral("那个好"), {},
                                                    FormattingStyle::lightPolish, false, true));
    // 章维 sounds like the recalled 张伟 but is written otherwise.
    const QList<LexiconEntry> recalled = {entry(QStringLiteral("张伟"), {})};
    EXPECT_FALSE(PolishEngine::canBypassCloudPolish(QStringLiteral("交给章维吧"), recalled,
                                                    FormattingStyle::lightPolish, false, true));
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(QStringLiteral("交给张伟吧"), recalled,
                                                   FormattingStyle::lightPolish, false, true));
    // A term whose skeleton is too short never blocks.
    const QList<LexiconEntry> shortTerm = {entry(QStringLiteral("阿"), {})};
    EXPECT_TRUE(PolishEngine::canBypassCloudPolish(QStringLiteral("交给吖吧"), shortTerm,
                                                   FormattingStyle::lightPolish, false, true));
}
