#include "lexicon/PersonalLexiconStore.h"
#include "lexicon/WordTokenizer.h"

#include "support/QtPrinters.h"
#include "support/VirtualScheduler.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

// Readable failures for learned pairs.
static void PrintTo(const PersonalLexiconStore::LearnedPair& pair, std::ostream* os)
{
    *os << '(' << pair.wrong.toStdString() << " -> " << pair.corrected.toStdString() << ')';
}

namespace {

using LearnedPair = PersonalLexiconStore::LearnedPair;

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

class LexiconLearningTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Start from an empty lexicon, as the app's own checks do, so every entry below was learned.
        store->setEntries({});
        ASSERT_TRUE(store->save());
    }

    const LexiconEntry* find(const QString& term) const
    {
        for (const LexiconEntry& entry : store->entries()) {
            if (entry.term == term)
                return &entry;
        }
        return nullptr;
    }

    std::optional<LearnedPair> edit(const char* injected, const char* edited)
    {
        return store->learnFromManualEditIfApplicable(u(injected), u(edited));
    }

    QTemporaryDir dir;
    VirtualScheduler scheduler;
    std::unique_ptr<PersonalLexiconStore> store = std::make_unique<PersonalLexiconStore>(
        dir.filePath(QStringLiteral("lexicon.json")), &scheduler.clock());
};

std::optional<LearnedPair> pair(const char* wrong, const char* corrected)
{
    return LearnedPair{u(wrong), u(corrected)};
}

} // namespace

// The widening rules below depend on how ICU segments these sentences; if ICU's dictionary changes, this test
// says so before the learning tests fail in less obvious ways.
TEST(WordTokenizer, SegmentationTheLearningTestsRelyOn)
{
    const auto words = [](const char* text) { return WordTokenizer::words(u(text)).join(u("|")); };
    EXPECT_EQ(words("客户关心成本率的问题"), u("客户|关心|成本|率|的|问题"));
    EXPECT_EQ(words("会议决定由张总负责"), u("会议|决定|由|张|总|负责"));
    EXPECT_EQ(words("这次交给阿狸去处理"), u("这次|交给|阿|狸|去|处理"));
    EXPECT_EQ(words("这次交给阿里去处理"), u("这次|交给|阿里|去|处理"));
    EXPECT_EQ(words("请升级到v2.3版本"), u("请|升级|到|v2.3|版本"));
    EXPECT_EQ(words("我们讨论的是Quorbell项目"), u("我们|讨论|的是|Quorbell|项目"));

    // Ranges count characters, not UTF-16 units: an emoji outside the BMP is one character.
    const QList<WordTokenizer::Range> ranges = WordTokenizer::wordRanges(u("😀 星河 ok"));
    ASSERT_FALSE(ranges.isEmpty());
    EXPECT_EQ(ranges.last(), (WordTokenizer::Range{5, 7}));
}

TEST_F(LexiconLearningTest, PollutionFilterRejectsNumbersVersionsPathsAndEverydayWords)
{
    for (const char* term : {"v0.4.2", "今天", "3", "2024", "V1-2-3", "12%", "5月", "30分", "a", "/usr/bin",
                             "C:\\tools", "https://b.org", "  工作  "})
        EXPECT_TRUE(PersonalLexiconStore::isCommonOrDisposableAutoLearnTerm(u(term))) << term;
    for (const char* term : {"星河", "DeepSeek", "v2x", "3D打印", "5月份", "今天见"})
        EXPECT_FALSE(PersonalLexiconStore::isCommonOrDisposableAutoLearnTerm(u(term))) << term;
}

TEST_F(LexiconLearningTest, SelectionRewriteLearnsShortWordingDirectly)
{
    // A voice rewrite of "Su" into "SEO" is stored at once, with the selection as the alias.
    EXPECT_EQ(store->learnFromSelectionRewrite(u("Su"), u(" SEO\n")), pair("Su", "SEO"));
    const LexiconEntry* seo = find(u("SEO"));
    ASSERT_NE(seo, nullptr);
    EXPECT_EQ(seo->aliases, QStringList{u("Su")});
    EXPECT_EQ(seo->category, LexiconCategory::autoLearned);
    EXPECT_EQ(seo->weight, 9);

    // The user said it on purpose: even a word of the stop list is learned on this path.
    EXPECT_EQ(store->learnFromSelectionRewrite(u("金天"), u("今天")), pair("金天", "今天"));
    ASSERT_NE(find(u("今天")), nullptr);
    EXPECT_EQ(find(u("今天"))->weight, 9);

    // Nothing to learn from identical, empty or one-character rewrites.
    const qsizetype before = store->entries().size();
    EXPECT_FALSE(store->learnFromSelectionRewrite(u("星河"), u(" 星河 ")));
    EXPECT_FALSE(store->learnFromSelectionRewrite(u(""), u("星河")));
    EXPECT_FALSE(store->learnFromSelectionRewrite(u("星合"), u("河")));
    EXPECT_EQ(store->entries().size(), before);
}

TEST_F(LexiconLearningTest, SelectionRewriteWithPunctuationOrLengthFallsBackToLineComparison)
{
    // A comma or a line break in the rewrite rules out the direct path; the line comparison then finds no
    // line long enough, so nothing is learned.
    EXPECT_FALSE(store->learnFromSelectionRewrite(u("星合"), u("星河，谢谢")));
    EXPECT_FALSE(store->learnFromSelectionRewrite(u("星合跟进"), u("星河\n跟进")));
    EXPECT_TRUE(store->entries().isEmpty());

    // A selection longer than 12 characters is compared word by word; the word found is stored with the
    // rewrite's weight, not the manual edit's.
    EXPECT_EQ(store->learnFromSelectionRewrite(u("第二段我们让星合跟进一下海外投放"),
                                               u("第二段我们让星河跟进一下海外投放")),
              pair("星合", "星河"));
    ASSERT_EQ(store->entries().size(), 1);
    EXPECT_EQ(store->entries().first().term, u("星河"));
    EXPECT_EQ(store->entries().first().aliases, QStringList{u("星合")});
    EXPECT_EQ(store->entries().first().weight, 9);
}

TEST_F(LexiconLearningTest, ManualEditLearnsTheEditedWordAcrossParagraphs)
{
    EXPECT_EQ(edit("第一段背景说明。\n\n第二段我们让星合跟进一下海外投放。\n\n第三段收尾。",
                   "第一段背景说明。\n\n第二段我们让星河跟进一下海外投放。\n\n第三段收尾。"),
              pair("星合", "星河"));
    const LexiconEntry* learned = find(u("星河"));
    ASSERT_NE(learned, nullptr);
    EXPECT_EQ(learned->aliases, QStringList{u("星合")});
    EXPECT_EQ(learned->category, LexiconCategory::autoLearned);
    EXPECT_EQ(learned->weight, 8);

    // The learned pair reaches the file, not only the list in memory.
    store->waitForSaves();
    PersonalLexiconStore reopened(store->storagePath(), &scheduler.clock());
    ASSERT_EQ(reopened.entries().size(), 1);
    EXPECT_EQ(reopened.entries().first().term, u("星河"));
}

TEST_F(LexiconLearningTest, ManualEditLearnsOneWholeEditedWordOnly)
{
    const std::pair<const char*, const char*> nothing[] = {
        // One character followed by the particle 的 after a longer word stays one character: too short.
        {"客户关心成本猫的问题", "客户关心成本率的问题"},
        {"今天的会议很顺利，谢谢大家", "今天的会议很顺利。谢谢大家"}, // punctuation only
        {"我们明天开会讨论", "我们明天下午开会讨论"},                 // an insertion
        {"请升级到v2.1版本", "请升级到v2.3版本"},                     // what the pollution filter refuses
        // Too little of the line survives (under 58 %); short lines need two common characters.
        {"项目进度正常", "项目状况良好"},
        {"张伟好", "章维好"},
        {"星合", "星河"},
        // Without the original's opening to align on, the last characters are compared: too little in common.
        {"请把报表发给张伟", "顺便说一下这个事情也请你发给章伟"},
        // The only occurrence of the opening at the very start leaves the whole line, too long to compare.
        {"请把报表发给张伟", "请把报表一二三四五六七八九十一二三四五六七八九十"},
    };
    for (const auto& [injected, edited] : nothing)
        EXPECT_FALSE(edit(injected, edited)) << injected << " -> " << edited;
    EXPECT_TRUE(store->entries().isEmpty());

    const struct {
        const char* injected;
        const char* edited;
        std::optional<LearnedPair> learned;
    } learned[] = {
        {"张伟好", "章伟好", pair("张伟", "章伟")},
        // A change inside a Latin word or a dictionary word learns the word.
        {"我们讨论的是Quorbel项目", "我们讨论的是Quorbell项目", pair("Quorbel", "Quorbell")},
        {"这次交给阿狸去处理", "这次交给阿里去处理", pair("阿狸", "阿里")},
        // A one-character change absorbs the ordinary one-character token after it, or, when that is a
        // particle (去), the one before it.
        {"会议决定由章总负责", "会议决定由张总负责", pair("章总", "张总")},
        {"这次交给阿里去处理", "这次交给阿狸去处理", pair("阿里", "阿狸")},
        // Text typed before the sentence is skipped: the comparison starts at the last "请把报表".
        {"请把报表发给张伟", "请把报表看一下，请把报表发给章伟", pair("张伟", "章伟")},
    };
    for (const auto& c : learned)
        EXPECT_EQ(edit(c.injected, c.edited), c.learned) << c.injected << " -> " << c.edited;

    // A field holding a long document on one line: the sentence at its end is still found.
    const QString document = QString(u'文').repeated(200000) + u("请把报表发给章伟");
    EXPECT_EQ(store->learnFromManualEditIfApplicable(u("请把报表发给张伟"), document), pair("张伟", "章伟"));
}

TEST_F(LexiconLearningTest, AWordOfAPathOrAnAddressIsNeverLearned)
{
    // The tokenizer splits these at "/", ":" and "@": the filter has to see the whole path or address.
    const std::pair<const char*, const char*> nothing[] = {
        {"请打开/usr/lib目录", "请打开/usr/lib64目录"},
        {"访问 https://a.com 网站", "访问 https://b.com 网站"},
        {"把报告发到 bob@a.com 邮箱", "把报告发到 bob@b.com 邮箱"},
        {"打开 C:\\tools\\bin 文件夹", "打开 C:\\tools\\sbin 文件夹"},
        {"请看 www.quorbel.com 首页", "请看 www.quorbell.com 首页"},
        // A path may have non-ASCII parts: the separator touching the word gives it away.
        {"文件在/home/小明/文挡", "文件在/home/小明/文档"},
    };
    for (const auto& [injected, edited] : nothing)
        EXPECT_FALSE(edit(injected, edited)) << injected << " -> " << edited;
    EXPECT_FALSE(store->learnFromSelectionRewrite(u("/usr/lib"), u("/usr/lib64")));
    EXPECT_TRUE(store->entries().isEmpty());

    // A slash elsewhere in the line does not keep an ordinary word from being learned.
    EXPECT_EQ(edit("这次A/B测试交给张伟跟进", "这次A/B测试交给章伟跟进"), pair("张伟", "章伟"));
}
