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

TEST(PostFormatting, RulesByTargetAndSettings)
{
    LLMConfig noSpacing = kDefaults;
    noSpacing.enablePanguSpacing = false;
    LLMConfig keepPeriod = kDefaults;
    keepPeriod.stripTrailingPeriodInChatApps = false;
    const ActiveScreenContext none = ActiveScreenContext::empty();
    const struct {
        const char* text;
        ActiveScreenContext target;
        const char* expected;
        const LLMConfig* config = &kDefaults;
    } cases[] = {
        // The self-test's regression checks.
        {"使用DeepSeek提升百分之35速度。", slack(), "使用 DeepSeek 提升 35% 速度"},
        {"今天发财报会不会一样? 太好了!", wechat(), "今天发财报会不会一样？ 太好了！"},
        {"第一段说明。\n\n第二段继续。", none, "第一段说明。\n第二段继续。"},
        {"### 核心结论\n这是**重点内容**，请确认。", wechat(), "核心结论\n这是重点内容，请确认。"},
        {"   ", none, ""},
        {"  \n你好  \n", none, "你好"},
        // Percentages only from digits.
        {"涨了百分之3.5", none, "涨了3.5%", &noSpacing},
        {"百分之五十", none, "百分之五十", &noSpacing},
        // Markdown and punctuation repair skip code targets; blank lines collapse everywhere.
        {"这是**重点**", vscode(), "这是**重点**"},
        {"## 标题", vscode(), "## 标题"},
        {"ok?", none, "ok?"},
        {"你好?", vscode(), "你好?"},
        {"a\n \n\tb", vscode(), "a\n \n\tb"},
        {"a  \n\n\t b", vscode(), "a\nb"},
        // Spacing between Chinese and Latin.
        {"用iPhone拍", none, "用 iPhone 拍"},
        {"100%完成", none, "100% 完成"},
        {"中a文", none, "中 a 文"},
        {"花了$5", none, "花了 $5"},
        {"用iPhone拍", none, "用iPhone拍", &noSpacing},
        // The trailing period goes only in chat and shell targets, on a single line.
        {"好的。。", slack(), "好的。"},
        {"done.", context("Terminal", "org.gnome.Terminal"), "done"},
        {"第一行。\n第二行。", slack(), "第一行。\n第二行。"},
        {"好的。", none, "好的。"},
        {"好的。", slack(), "好的。", &keepPeriod},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format(u(c.text), c.target, *c.config), u(c.expected)) << c.text;
}

TEST(InstantDictionary, AliasesAndLineBreakCommands)
{
    const LexiconEntry kubernetes = entry("Kubernetes", {"cubes"});
    const struct {
        QList<LexiconEntry> entries;
        const char* text;
        const char* expected;
    } cases[] = {
        {{}, "   ", "   "},
        {{}, "第一行另起一行第二行", "第一行\n第二行"},
        {{}, "甲新起一段乙", "甲\n\n乙"},
        // The self-test's regression check.
        {{entry("SEO", {"Su", "s Su", "艾斯伊欧"})},
         "招这个 Su 的人做日本的 s Su，让 Summary 看一下 Supabase",
         "招这个 SEO 的人做日本的 SEO，让 Summary 看一下 Supabase"},
        // Short Latin aliases match whole words only, in any case; everyday words are never aliases.
        {{kubernetes}, "deploy cubes now", "deploy Kubernetes now"},
        {{kubernetes}, "cubesat and subcubes", "cubesat and subcubes"},
        {{kubernetes}, "部署CUBES到3cubes", "部署Kubernetes到3Kubernetes"},
        {{entry("API", {"ai"})}, "ai and AI", "ai and AI"},
        {{entry("X", {"abc", "abcdef"})}, "abcdef abc", "X X"},
        // Replacements are literal, and aliases with pattern characters are matched as text.
        {{entry("A\\B", {"ab"})}, "路径 ab 目录", "路径 A\\B 目录"},
        {{entry("$0价", {"jiage"})}, "价格 jiage", "价格 $0价"},
        {{entry("C++", {"c.+"})}, "c++ and c.+", "c++ and C++"},
        // An alias inside an occurrence of its own term is left alone.
        {{entry("张三丰", {"张三"})}, "张三丰和张三", "张三丰和张三丰"},
        {{entry("Kubernetes", {"kubern"})}, "kubernetes kubern", "kubernetes Kubernetes"},
        {{entry("GitHub", {"github"})}, "用 github 吧", "用 GitHub 吧"},
        // Later entries see earlier replacements.
        {{entry("乙乙", {"甲甲"}), entry("丙丙", {"乙乙"})}, "甲甲", "丙丙"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(correct(u(c.text), c.entries), u(c.expected)) << c.text;

    LexiconEntry blank = entry("占位", {"要紧"});
    blank.term.clear();
    EXPECT_EQ(correct(u("要紧的事"), {blank}), u("要紧的事"));
    // With stripPeriod the post-formatting runs as well.
    EXPECT_EQ(PolishEngine::applyInstantLocalDictionary(u("好的。"), {}, slack(), kDefaults, true),
              u("好的"));
}

TEST(InstantDictionary, FirstTwoHundredEntriesCompiledOncePerContent)
{
    QList<LexiconEntry> many;
    for (int i = 0; i < 200; ++i)
        many.append(entry(QStringLiteral("T%1").arg(i), {QStringLiteral("无关词%1").arg(i)}));
    many.append(entry("星河", {"星合"}));
    EXPECT_EQ(correct(u("星合"), many), u("星合"));
    many.removeAt(0);
    EXPECT_EQ(correct(u("星合"), many), u("星河"));

    QList<LexiconEntry> entries = {entry("星河", {"星合"}), entry("SEO", {"Su"})};
    const QString text = u("让星合看 Su 数据");
    const auto cached = InstantDictionary::cached(entries);
    EXPECT_EQ(InstantDictionary::cached(entries), cached);
    EXPECT_EQ(cached->apply(text), u("让星河看 SEO 数据"));
    // An edited lexicon is compiled anew, not served from the old one.
    entries[0].aliases = {u("新河")};
    EXPECT_NE(InstantDictionary::cached(entries), cached);
    EXPECT_EQ(correct(text, entries), u("让星合看 SEO 数据"));
}

TEST(StreamTokens, TagsAreStrippedAndSeamsSpaced)
{
    const struct {
        const char* token;
        const char* before;
        bool pangu;
        const char* expected;
    } cases[] = {
        {"<raw_speech>你好", "", true, "你好"}, {"</raw_speech>", "x", true, ""}, {"App", "用", true, " App"},
        {"完成", "100%", true, " 完成"},        {"$5", "花了", true, "$5"},       {"App", "用", false, "App"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PolishEngine::cleanAndSpaceStreamToken(u(c.token), u(c.before), c.pangu), u(c.expected))
            << c.token;

    StreamTextAssembler assembler(true);
    QString shown;
    for (const char* piece : {"<raw_", "speech>用", "iPhone", "拍</raw", "_speech", ">"})
        shown += assembler.push(u(piece));
    shown += assembler.finish();
    EXPECT_EQ(shown, u("用 iPhone 拍"));
    EXPECT_EQ(assembler.accumulated(), shown);

    // A "<" that never becomes a tag is shown once the next piece (or the end) decides it.
    StreamTextAssembler plain(false);
    EXPECT_EQ(plain.push(u("a <")), u("a "));
    EXPECT_EQ(plain.push(u("b")), u("<b"));
    EXPECT_EQ(plain.push(u(" </raw")), u(" "));
    EXPECT_EQ(plain.finish(), u("</raw"));
    EXPECT_EQ(plain.accumulated(), u("a <b </raw"));
}

TEST(FastPath, LengthStuttersCuesAndHiddenTerms)
{
    const QString long29 = u("今天下午我们一起去公园散步吧天气很好阳光明媚适合出门走走看看风景").left(29);
    const QList<LexiconEntry> zhangWei = {entry("张伟")};
    const QList<LexiconEntry> shortTerm = {entry("阿")};
    using S = FormattingStyle;
    const struct {
        QString text;
        QList<LexiconEntry> recalled;
        FormattingStyle style;
        bool highAccuracyLocal;
        bool punctuatedCloud;
        bool bypass;
    } cases[] = {
        // The self-test's regression checks.
        {u("好的，那你动手把这3点改上吧。"), {}, S::structured, true, true, true},
        {u("嗯，那个帮我看一下第一点不对改成第二点。"), {}, S::structured, true, true, false},
        // Length limits by recogniser and style.
        {long29.left(28), {}, S::lightPolish, false, true, true},
        {long29, {}, S::lightPolish, false, true, false},
        {u("我马上就过去"), {}, S::structured, true, false, true},
        {u("我马上就过去了"), {}, S::structured, true, false, false},
        {long29.left(5), {}, S::lightPolish, false, false, true},
        {long29.left(6), {}, S::lightPolish, false, false, false},
        {u("  \n"), {}, S::structured, false, false, true},
        // Stutters and filler cues need the model.
        {u("我们我们走"), {}, S::lightPolish, false, true, false},
        {u("那个好"), {}, S::lightPolish, false, true, false},
        // 章维 sounds like the recalled 张伟 but is written otherwise; a too-short skeleton never blocks.
        {u("交给章维吧"), zhangWei, S::lightPolish, false, true, false},
        {u("交给张伟吧"), zhangWei, S::lightPolish, false, true, true},
        {u("交给吖吧"), shortTerm, S::lightPolish, false, true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PolishEngine::canBypassCloudPolish(c.text, c.recalled, c.style, c.highAccuracyLocal,
                                                     c.punctuatedCloud),
                  c.bypass)
            << c.text.toStdString();
}
