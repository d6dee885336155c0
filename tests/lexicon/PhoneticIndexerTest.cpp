#include "lexicon/PhoneticIndexer.h"

#include "support/QtPrinters.h"
#include <QChar>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <atomic>
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

TEST(PhoneticIndexer, KeysOfMixedText)
{
    namespace P = PhoneticIndexer;
    EXPECT_EQ(P::normalize(QString()), QString());
    EXPECT_EQ(P::normalize(u("DeepSeek")), u("deepseek"));
    EXPECT_EQ(P::normalize(u("重庆 Café，好！2")), u("chongqingcafehao2"));
    EXPECT_EQ(P::syllables(u("用 DeepSeek 写 v2 代码")),
              (QStringList{u("yong"), u("deepseek"), u("xie"), u("v2"), u("dai"), u("ma")}));
    // Confusable initials, then finals, merge; Latin words are rewritten too.
    EXPECT_EQ(P::fuzzySkeleton(u("zhang chang shang")), u("zancansan"));
    EXPECT_EQ(P::fuzzySkeleton(u("long ming")), u("nunmin"));
    EXPECT_EQ(P::fuzzySkeleton(u("Loading")), u("noadin"));
    EXPECT_EQ(P::fuzzySkeleton(u("，。!? -")), QString());
    EXPECT_EQ(P::fuzzySkeletonOfSyllables(P::syllables(u("林峰 long"))), P::fuzzySkeleton(u("林峰 long")));
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

    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 50 * words.size(); ++round) {
                if (PhoneticIndexer::fuzzySkeleton(words[round % words.size()]) !=
                    expected[round % words.size()])
                    ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}

TEST(PhoneticIndexer, FillsOnlyAMissingEntryKeyFromTheTermAsGiven)
{
    LexiconEntry spaced(QUuid::createUuid(), u(" 深度求索 "), {}, QString(), LexiconCategory::project, 5, 0,
                        Timestamp{1});
    PhoneticIndexer::fillPhoneticKey(spaced);
    EXPECT_EQ(spaced.phoneticKey, QStringLiteral("shenduqiusuo"));

    LexiconEntry keyed(QUuid::createUuid(), QStringLiteral("x"), {}, QStringLiteral("custom key"),
                       LexiconCategory::person, 9, 2, Timestamp{1});
    PhoneticIndexer::fillPhoneticKey(keyed);
    EXPECT_EQ(keyed.phoneticKey, QStringLiteral("custom key")) << "a given key is stored unchanged";

    // Decoded entries keep their untrimmed term; the key is the same either way.
    for (const auto& [json, key] : {std::pair{R"({"term":"DeepSeek"})", "deepseek"},
                                    std::pair{R"({"term":" 张三 ","phoneticKey":""})", "zhangsan"}}) {
        auto decoded = LexiconEntry::fromJson(QJsonDocument::fromJson(json).object());
        ASSERT_TRUE(decoded.has_value()) << json;
        PhoneticIndexer::fillPhoneticKey(*decoded);
        EXPECT_EQ(decoded->phoneticKey, QLatin1String(key)) << json;
    }
}
