#include "lexicon/PersonalLexiconStore.h"

#include "lexicon/PhoneticIndexer.h"

#include "support/QtPrinters.h"
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

LexiconEntry entry(const QString& term, const QStringList& aliases = {}, qint64 weight = 5, qint64 hits = 0)
{
    return LexiconEntry(QUuid::createUuid(), term, aliases, {}, LexiconCategory::project, weight, hits,
                        Timestamp{757382400.0});
}

// Heavy enough to come first in the fallback, light enough never to be pinned: an entry that did not score
// never shows up behind them.
QList<LexiconEntry> fillers()
{
    QList<LexiconEntry> list;
    for (int i = 0; i < 10; ++i)
        list.append(entry(QStringLiteral("Filler%1x").arg(QChar(u'a' + i)), {}, 8));
    return list;
}

QStringList termsOf(const QList<LexiconEntry>& entries)
{
    QStringList result;
    for (const LexiconEntry& e : entries)
        result.append(e.term);
    return result;
}

class LexiconRecallTest : public ::testing::Test {
protected:
    LexiconRecallTest() : store(dir.filePath(QStringLiteral("lexicon.json"))) {}

    QStringList recall(const QString& text, const QString& title = {}, int limit = 26) const
    {
        return termsOf(store.recallRelevantTerms(text, title, limit));
    }

    QTemporaryDir dir;
    PersonalLexiconStore store;
};

} // namespace

TEST_F(LexiconRecallTest, ScoresRankAliasesPinyinAndSoundAlikes)
{
    store.setEntries(QList<LexiconEntry>{
                         entry(u("清晨"), {}, 3),                     // sounds alike: 98 + 12
                         entry(u("实验"), {}, 1),                     // same pinyin: 110 + 4
                         entry(u("Zanzibar"), {u("zbr cluster")}, 1), // alias: 140 + 4
                         entry(u("Helm"), {}, 10),                    // term and key: 195 + 40
                         entry(u("Kubernetes"), {}, 12),              // 195 + 40, not 48: ties with Helm
                     } +
                     fillers());
    EXPECT_EQ(recall(u("我们在 kubernetes 上用 helm 部署了 ZBR Cluster 的试验环境，亲臣就开始")),
              (QStringList{u("Helm"), u("Kubernetes"), u("Zanzibar"), u("实验"), u("清晨"), u("Fillerax"),
                           u("Fillerbx"), u("Fillercx"), u("Fillerdx"), u("Fillerex")}));
}

TEST_F(LexiconRecallTest, SoundAlikeAliasesAndLongNamesCountPartly)
{
    store.setEntries(QList<LexiconEntry>{
                         entry(u("DeepSeekCoder"), {}, 0),         // head of the skeleton only: 58
                         entry(u("晨会纪要"), {u("清晨例会")}, 0), // alias sounds alike: 105
                         entry(u("宁远"), {u("林")}, 0),           // three-letter alias skeleton: 105
                         entry(u("吴用"), {u("吴")}, 0),           // two letters are too few
                     } +
                     fillers());
    const QStringList recalled = recall(u("明天亲臣里会上讨论 deep seek coda 和宁的事，无"));
    EXPECT_EQ(recalled.mid(0, 3), (QStringList{u("晨会纪要"), u("宁远"), u("DeepSeekCoder")}));
    EXPECT_FALSE(recalled.contains(u("吴用")));
}

TEST_F(LexiconRecallTest, WindowTitleCountsIgnoringCase)
{
    store.setEntries(QList<LexiconEntry>{entry(u("Quarterly"), {}, 0), entry(u("Roadmap"), {}, 0)} +
                     fillers());
    const QStringList recalled = recall(u("请帮我整理一下"), u("ROADMAP 2025 - Docs"));
    EXPECT_EQ(recalled.first(), u("Roadmap"));
    EXPECT_FALSE(recalled.contains(u("Quarterly")));
}

TEST_F(LexiconRecallTest, FallbackReturnsTheHeaviestWhenNothingMatchesAndNothingWhenEmpty)
{
    store.setEntries({entry(u("Alpha"), {}, 2), entry(u("Bravo"), {}, 7), entry(u("Charlie"), {}, 2),
                      entry(u("Delta"), {}, 7), entry(u("Echo"), {}, 5)});
    EXPECT_EQ(recall(u("完全无关的一句话")),
              (QStringList{u("Bravo"), u("Delta"), u("Echo"), u("Alpha"), u("Charlie")}));
    // Nothing for an empty transcript or lexicon.
    EXPECT_TRUE(recall(QString()).isEmpty());
    store.setEntries({});
    EXPECT_TRUE(recall(u("Alpha 和 Bravo")).isEmpty());
}

TEST_F(LexiconRecallTest, ScoredEntriesLeaveRoomForPinnedOnes)
{
    QList<LexiconEntry> entries;
    QString transcript;
    for (int i = 0; i < 30; ++i) {
        const QString term = QStringLiteral("Zq%1w").arg(i, 2, 10, QChar(u'0'));
        entries.append(entry(term, {}, 5));
        transcript += term + u' ';
    }
    for (int w = 9; w <= 20; ++w)
        entries.append(entry(QStringLiteral("Heavy%1").arg(QChar(u'a' + w)), {}, w));
    // A heavy entry that also matches is not listed twice.
    entries.append(entry(u("Pinnedmatch"), {}, 30));
    transcript += u("pinnedmatch");
    store.setEntries(entries);

    const QStringList recalled = recall(transcript);
    ASSERT_EQ(recalled.size(), 26);
    EXPECT_EQ(recalled[0], u("Pinnedmatch"));
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(recalled[i + 1], QStringLiteral("Zq%1w").arg(i, 2, 10, QChar(u'0')))
            << "equal scores keep store order";
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(recalled[16 + k], QStringLiteral("Heavy%1").arg(QChar(u'a' + 20 - k)))
            << "pinned by weight";

    // A small limit still returns twelve scored entries and keeps pinned ones out.
    const QStringList small = recall(transcript, {}, 5);
    ASSERT_EQ(small.size(), 12);
    EXPECT_EQ(small[0], u("Pinnedmatch"));
    EXPECT_EQ(small[11], u("Zq10w"));
}

TEST_F(LexiconRecallTest, KeysFollowEditsToTheLexicon)
{
    store.setEntries(fillers() + QList<LexiconEntry>{entry(u("Orion"), {u("欧瑞恩")}, 0)});
    const QString transcript = u("把这个发给奥瑞安看看");
    EXPECT_FALSE(recall(transcript).contains(u("Orion")));

    // New aliases are seen at once, also after inserts at the front moved every entry.
    const QUuid id = store.entries().last().id;
    store.updateEntry(id, u("Orion"), {u("奥瑞安")}, LexiconCategory::project, 0);
    store.upsert(u("Newcomer"), {}, LexiconCategory::memo, 0);
    EXPECT_EQ(recall(transcript).first(), u("Orion"));

    QList<LexiconEntry> edited = store.entries();
    for (LexiconEntry& e : edited) {
        if (e.id == id)
            e.aliases = {u("欧瑞恩")};
    }
    store.setEntries(edited);
    EXPECT_FALSE(recall(transcript).contains(u("Orion")));
}

// However the lexicon loads, its recall keys are derived off the main thread, so not even the first
// dictation runs the slow transform (nor builds it) there. The transcripts are plain Latin, which needs none.
TEST(LexiconRecallWarmUp, EveryLoadDerivesTheKeysOffTheMainThread)
{
    const struct {
        const char* name;
        std::optional<QByteArray> file; // none: no file
    } loads[] = {
        {"missing", std::nullopt},
        {"empty", QByteArray()},
        {"not a list", R"({"term":"欧瑞恩"})"},
        {"no usable term", R"([{"term":" "}])"},
        {"damaged", R"([{"term":"Orion","aliases":["欧瑞恩"]},{"term":7},{"term":"张伟"}])"},
        {"keyed",
         R"([{"term":"Orion","aliases":["欧瑞恩"],"phoneticKey":"orion"},{"term":"张伟","phoneticKey":"zhangwei"}])"},
        {"bare", R"([{"term":"Orion","aliases":["欧瑞恩"]},{"term":"张伟"}])"},
    };
    for (const auto& load : loads) {
        SCOPED_TRACE(load.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("lexicon.json"));
        if (load.file) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(*load.file) == load.file->size());
        }
        PersonalLexiconStore store(path);
        QSignalSpy warmed(&store, &PersonalLexiconStore::recallKeysWarmed);
        EXPECT_TRUE(warmed.wait(30000)) << "the keys were never warmed";
        store.waitForSaves();

        const quint64 before = PhoneticIndexer::transformRunsOnThisThread();
        const QStringList recalled = termsOf(store.recallRelevantTerms(u("ping orion and deepseek"), {}, 26));
        EXPECT_EQ(PhoneticIndexer::transformRunsOnThisThread(), before)
            << "the first recall derived keys on the main thread";
        EXPECT_FALSE(recalled.isEmpty());
    }
}

// Keys derived in the background after loading are used only while their entry is unchanged.
TEST(TermKeyCache, AdoptedKeysServeOnlyUnchangedEntries)
{
    const LexiconEntry orion = entry(u("Orion"), {u("欧瑞恩")});
    LexiconEntry edited = orion;
    edited.aliases = {u("奥瑞安")};
    const auto derived = std::make_shared<const TermKeys>(TermKeys::derive(orion));

    TermKeyCache cache;
    cache.adopt({{orion.id, derived}});
    cache.beginPass(1);
    EXPECT_EQ(&cache.keysFor(orion, 0), derived.get());
    const TermKeys& fresh = cache.keysFor(edited, 0);
    EXPECT_NE(&fresh, derived.get());
    EXPECT_EQ(fresh.aliases, edited.aliases);
}

TEST(LexiconHotwords, HintNamesFirstThenStrongestTerms)
{
    const QString twentyFour(24, u'k');
    const QString twentyFive(25, u'm');
    const QList<LexiconEntry> entries = {
        entry(u("Alpha"), {}, 5, 0),    // 50
        entry(u("Delta"), {}, 5, 18),   // 50 + 35
        entry(u("Bravo"), {}, 5, 20),   // 50 + 35 (capped), after Delta
        entry(u("kubernetes"), {}, 20), // already named by the hint
        entry(u("迪普西克"), {}, 1),    // 10 + 100 in the hint
        entry(twentyFive, {}, 30),      // too long
        entry(twentyFour, {}, 9),       // 90
        entry(u("X"), {}, 40),          // too short
    };
    const QString hint = u("The DeepSeek API writes JSON files to Kubernetes and the 迪普西克 docs");
    EXPECT_EQ(PersonalLexiconStore::rankHotwords(entries, hint, 64),
              (QStringList{u("DeepSeek"), u("API"), u("JSON"), u("Kubernetes"), u("迪普西克"), twentyFour,
                           u("Delta"), u("Bravo"), u("Alpha")}));

    EXPECT_EQ(PersonalLexiconStore::rankHotwords(entries, u("Cobalt Nimbus Helix Orion Vega"), 3),
              (QStringList{u("Cobalt"), u("Nimbus"), u("Helix"), u("Orion"), u("Vega")}))
        << "hint words are not held to the limit";
    EXPECT_EQ(PersonalLexiconStore::rankHotwords(entries, {}, 2), (QStringList{u("kubernetes"), twentyFour}));
}

TEST(LexiconHotwords, OnlyTheFirstTwelveHintMatchesCount)
{
    QStringList words;
    for (int i = 0; i < 14; ++i)
        words.append(QStringLiteral("Name%1").arg(QChar(u'a' + i)));
    const QStringList ranked = PersonalLexiconStore::rankHotwords({}, words.join(u' '), 0);
    EXPECT_EQ(ranked, words.mid(0, 12));
    // Starters and repeats use up matches too; lower-case and glued words never match.
    EXPECT_EQ(
        PersonalLexiconStore::rankHotwords({}, u("When Atlas met atlas, ATLAS and xYZ went on Mars2"), 0),
        (QStringList{u("Atlas"), u("Mars2")}));
}

// Weights and hits come from a file anyone can edit: extreme values must order as numbers, not overflow.
TEST_F(LexiconRecallTest, ExtremeWeightsStayInOrder)
{
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    store.setEntries({entry(u("Lowest"), {}, min, min), entry(u("Middle"), {}, 5, max),
                      entry(u("Highest"), {}, max, max)});
    EXPECT_EQ(store.topAcousticContextualStrings({}, 10),
              (QStringList{u("Highest"), u("Middle"), u("Lowest")}));
    EXPECT_EQ(recall(u("lowest middle highest")), (QStringList{u("Highest"), u("Middle"), u("Lowest")}));
    // Counting past the largest value stays at it.
    store.recordTermHits({store.entries()[2]});
    EXPECT_EQ(store.entries()[2].hitCount, max);
    store.bulkUpsert({{u("Highest"), {}, LexiconCategory::browser}});
    EXPECT_EQ(store.entries().first().weight, max);
}
