#include "lexicon/PhoneticIndexer.h"

#include "support/QtPrinters.h"
#include <QChar>

#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

// The runs the full transform would give, for comparing with the ASCII shortcut.
QStringList runsOfTransliteration(const QString& text)
{
    QStringList runs;
    QString current;
    for (QChar c : PhoneticIndexer::transliterate(text)) {
        if (c.isLetterOrNumber() || c.isMark()) {
            current.append(c);
        } else if (!current.isEmpty()) {
            runs.append(current);
            current.clear();
        }
    }
    if (!current.isEmpty())
        runs.append(current);
    return runs;
}

} // namespace

TEST(PhoneticIndexer, SoundAlikeWordsShareASkeleton)
{
    const std::pair<const char*, const char*> pairs[] = {
        {"清晨", "亲臣"}, {"实验", "思言"}, {"张伟", "赞尾"}, {"林峰", "宁风"}};
    for (const auto& [a, b] : pairs) {
        EXPECT_FALSE(PhoneticIndexer::fuzzySkeleton(u(a)).isEmpty()) << a;
        EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(u(a)), PhoneticIndexer::fuzzySkeleton(u(b)))
            << a << " / " << b;
        EXPECT_NE(PhoneticIndexer::normalize(u(a)), PhoneticIndexer::normalize(u(b))) << a << " / " << b;
    }
}

TEST(PhoneticIndexer, NormalizeKeepsTonelessLettersAndDigitsOnly)
{
    EXPECT_EQ(PhoneticIndexer::normalize(QString()), QString());
    EXPECT_EQ(PhoneticIndexer::normalize(u("DeepSeek")), u("deepseek"));
    EXPECT_EQ(PhoneticIndexer::normalize(u("张伟")), u("zhangwei"));
    EXPECT_EQ(PhoneticIndexer::normalize(u("Hello, World-2!")), u("helloworld2"));
    EXPECT_EQ(PhoneticIndexer::normalize(u("重庆 Café，好！")), u("chongqingcafehao"));
}

TEST(PhoneticIndexer, SyllablesFollowTextOrder)
{
    EXPECT_EQ(PhoneticIndexer::syllables(QString()), QStringList());
    EXPECT_EQ(PhoneticIndexer::syllables(u("张伟")), (QStringList{u("zhang"), u("wei")}));
    EXPECT_EQ(PhoneticIndexer::syllables(u("用 DeepSeek 写 v2 代码")),
              (QStringList{u("yong"), u("deepseek"), u("xie"), u("v2"), u("dai"), u("ma")}));
}

TEST(PhoneticIndexer, FuzzySkeletonMergesConfusableInitialsAndFinals)
{
    EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(u("zhang chang shang")), u("zancansan"));
    EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(u("long")), u("nun")) << "initial, then final";
    EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(u("ling ming")), u("ninmin"));
    EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(u("Loading")), u("noadin")) << "Latin words are rewritten too";
    EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(QString()), QString());
    EXPECT_EQ(PhoneticIndexer::fuzzySkeleton(u("，。!? -")), QString());
    EXPECT_EQ(PhoneticIndexer::fuzzySkeletonOfSyllables(PhoneticIndexer::syllables(u("林峰 long"))),
              PhoneticIndexer::fuzzySkeleton(u("林峰 long")));
}

// Plain ASCII skips the transform; the runs must be exactly what the transform gives.
TEST(PhoneticIndexer, AsciiShortcutAgreesWithTheTransform)
{
    const char* samples[] = {
        "DeepSeek",          "node.js v18",        "A,B;C:D?E!F", "(Kubernetes)[k8s]{x}",
        "  Hello   World  ", "e-mail@example.com", "C++/Qt 6.4",  "it's ALL_CAPS-and_snake",
        "12.5%~$3",          "\tTab\nLine\r"};
    for (const char* sample : samples)
        EXPECT_EQ(PhoneticIndexer::syllables(u(sample)), runsOfTransliteration(u(sample))) << sample;
}

TEST(PhoneticIndexer, SafeFromSeveralThreads)
{
    const QStringList words = {u("清晨"), u("实验室"), u("张伟明"), u("DeepSeek 接入"), u("林峰和宁风")};
    QStringList expected;
    for (const QString& word : words)
        expected.append(PhoneticIndexer::fuzzySkeleton(word));

    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                for (qsizetype i = 0; i < words.size(); ++i) {
                    if (PhoneticIndexer::fuzzySkeleton(words[i]) != expected[i])
                        ++mismatches[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int count : mismatches)
        EXPECT_EQ(count, 0);
}
