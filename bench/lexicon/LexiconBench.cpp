// Recall runs on the main thread when a dictation stops and hotword ranking when one starts; both must stay
// well inside a frame for lexicons of thousands of terms. A large hand-made lexicon (terms without phonetic
// keys) must reach the window within a second, its keys following off the main thread, and adding a term to
// it must stay inside a frame on the main thread. "cold" is the first call on a store freshly loaded
// from its file (every entry's keys still to derive), "after load" the first call half a second after loading
// (the store derives the keys in the background meanwhile), "warm" a repeated call.
#include "BenchTargets.h"
#include "lexicon/PersonalLexiconStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <memory>
#include <random>

namespace {

constexpr int kRecallLimit = 26;
constexpr int kHotwordLimit = 64;

const char16_t* const kSurnames[] = {u"张", u"王", u"李", u"赵", u"刘", u"陈", u"杨", u"黄", u"周", u"吴",
                                     u"徐", u"孙", u"马", u"朱", u"胡", u"郭", u"何", u"林", u"罗", u"高"};
const char16_t* const kGivenNames[] = {u"伟",   u"芳",   u"娜",   u"敏",   u"静",   u"丽",   u"强",
                                       u"磊",   u"军",   u"洋",   u"勇",   u"艳",   u"杰",   u"娟",
                                       u"涛",   u"明",   u"超",   u"秀英", u"峰",   u"晨",   u"建国",
                                       u"志强", u"海燕", u"思远", u"子涵", u"雨桐", u"浩然", u"一鸣"};
// Sound-alike characters a recogniser writes in place of the name's own.
const char16_t* const kSoundAlikes[] = {u"赞", u"旺", u"黎", u"照", u"留", u"晨", u"阳", u"煌", u"舟", u"无",
                                        u"许", u"森", u"麻", u"竹", u"湖", u"锅", u"河", u"琳", u"洛", u"糕"};
const char* const kWordStems[] = {"Nimbus", "Quartz", "Helix", "Vertex", "Orbit",  "Cobalt",
                                  "Lumen",  "Atlas",  "Pixel", "Falcon", "Zephyr", "Beacon",
                                  "Cipher", "Delta",  "Ember", "Fusion", "Glide",  "Harbor",
                                  "Ion",    "Jet",    "Kite",  "Lyra",   "Matrix", "Nova"};
const char* const kWordSuffixes[] = {"DB",  "Sync", "Cloud", "Flow",  "Hub",
                                     "Lab", "OS",   "Pay",   "Stack", "View"};

// Deterministic lexicon: Chinese names with sound-alike aliases, English product words with spaced aliases.
QList<LexiconEntry> generatedEntries(int count)
{
    std::mt19937 random(20240611u);
    const auto pick = [&random](auto& array) {
        return array[std::uniform_int_distribution<size_t>(0, std::size(array) - 1)(random)];
    };
    QList<LexiconEntry> entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString term;
        QStringList aliases;
        LexiconCategory category = LexiconCategory::project;
        if (i % 2 == 0) {
            const size_t surname = std::uniform_int_distribution<size_t>(0, std::size(kSurnames) - 1)(random);
            const QString given = QString::fromUtf16(pick(kGivenNames));
            term = QString::fromUtf16(kSurnames[surname]) + given;
            aliases = {QString::fromUtf16(kSoundAlikes[surname]) + given};
            category = LexiconCategory::person;
        } else {
            const QString stem = QString::fromLatin1(pick(kWordStems));
            const QString suffix = QString::fromLatin1(pick(kWordSuffixes));
            term = stem + suffix + QString::number(i);
            aliases = {stem.toLower() + u' ' + suffix.toLower(), stem + u' ' + QString::number(i)};
        }
        const qint64 weight = std::uniform_int_distribution<qint64>(1, 12)(random);
        const qint64 hits = std::uniform_int_distribution<qint64>(0, 30)(random);
        entries.append(LexiconEntry(QUuid::createUuid(), term, aliases, {}, category, weight, hits,
                                    Timestamp{757382400.0 + i}));
    }
    return entries;
}

// A dictation of about 130 characters naming a person, a mis-heard person and a product (people sit at even
// positions of the generated list, products at odd ones).
QString transcriptFor(const QList<LexiconEntry>& entries)
{
    const LexiconEntry& person = entries[(entries.size() / 2) & ~qsizetype(1)];
    const LexiconEntry& misheard = entries[2];
    const LexiconEntry& product = entries[entries.size() - 1];
    return QStringLiteral("今天下午和") + person.term + QStringLiteral("还有") + misheard.aliases.value(0) +
           QStringLiteral("一起评审了") + product.term +
           QStringLiteral("的上线方案，接口那边还要再调一下，然后我们讨论了预算、排期和 nimbus sync "
                          "的迁移计划，下周三之前把测试报告发给大家，顺便确认一下灰度发布的范围。");
}

QString hotwordHint()
{
    return QStringLiteral(
        "Quarterly planning - NimbusDB rollout | Team Chat  The plan for Q3: migrate HelixFlow and "
        "CobaltPay to the new AtlasStack cluster before the API freeze. When the SDK lands, notify the iOS "
        "and QA leads. 会议纪要：张伟负责 NimbusDB 的压测，林峰跟进 HelixFlow 的灰度发布，预算由财务部确认。"
        "Open items: OrbitHub pricing, LumenView onboarding, FusionLab partnership with ACME Corp.");
}

// A lexicon file per size, written once; every store in the benchmarks loads one, as the app does at launch.
class LexiconFiles {
public:
    static QString pathFor(int count)
    {
        static LexiconFiles files;
        const QString path = files.m_dir.filePath(QStringLiteral("lexicon-%1.json").arg(count));
        if (!QFile::exists(path)) {
            PersonalLexiconStore writer(path);
            writer.setEntries(generatedEntries(count));
            if (!writer.save())
                qFatal("cannot write the benchmark lexicon");
        }
        return path;
    }

private:
    QTemporaryDir m_dir;
};

std::unique_ptr<PersonalLexiconStore> loadedStore(const benchmark::State& state)
{
    return std::make_unique<PersonalLexiconStore>(LexiconFiles::pathFor(static_cast<int>(state.range(0))));
}

const QString kWindowTitle = QStringLiteral("周会 - 文档");

// A lexicon file of bare terms, as written by hand or by another tool: no ids, no keys.
QString bareLexiconPath(int count)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bare-%1.json").arg(count));
    if (!QFile::exists(path)) {
        QJsonArray array;
        for (const LexiconEntry& entry : generatedEntries(count))
            array.append(QJsonObject{{QStringLiteral("term"), entry.term}});
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(array).toJson()) < 0)
            qFatal("cannot write the benchmark lexicon");
    }
    return path;
}

// The main thread's part of a start: reading, decoding and publishing the entries.
void BM_LoadBareLexicon(benchmark::State& state)
{
    const QString path = bareLexiconPath(static_cast<int>(state.range(0)));
    qint64 worstNs = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        auto store = std::make_unique<PersonalLexiconStore>(path);
        benchmark::DoNotOptimize(store->entries().size());
        worstNs = std::max(worstNs, timer.nsecsElapsed());
        state.PauseTiming();
        if (store->entries().size() != state.range(0))
            state.SkipWithError("entries were lost");
        store.reset(); // waits for the background key work, untimed
        state.ResumeTiming();
    }
    BenchTargets::report(state, "worst_ms", static_cast<double>(worstNs) / 1e6, 1000);
}

// Until every entry has its phonetic key, which is made off the main thread.
void BM_LoadBareLexiconUntilKeyed(benchmark::State& state)
{
    const QString path = bareLexiconPath(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto store = std::make_unique<PersonalLexiconStore>(path);
        // The keys come back to the main thread in one piece of work: its length is a stall of the window.
        qint64 longestTurnNs = 0;
        while (store->entries().back().phoneticKey.isEmpty()) {
            QElapsedTimer turn;
            turn.start();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            longestTurnNs = std::max(longestTurnNs, turn.nsecsElapsed());
            QThread::msleep(1); // idle time is not the main thread's work
        }
        BenchTargets::report(state, "adopt_ms", static_cast<double>(longestTurnNs) / 1e6, 16);
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
}

// One term added on the main thread; the save it starts runs on the writer's thread.
void BM_AddTermToBareLexicon(benchmark::State& state)
{
    auto store = std::make_unique<PersonalLexiconStore>(bareLexiconPath(static_cast<int>(state.range(0))));
    int added = 0;
    qint64 worstNs = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        if (!store->upsert(QStringLiteral("新词条%1").arg(added++), {QStringLiteral("别名")},
                           LexiconCategory::memo, 5))
            state.SkipWithError("the term was refused");
        worstNs = std::max(worstNs, timer.nsecsElapsed());
        state.PauseTiming();
        store->waitForSaves(); // saves do not pile up between iterations
        state.ResumeTiming();
    }
    BenchTargets::report(state, "worst_ms", static_cast<double>(worstNs) / 1e6, 16);
}

void BM_RecallCold(benchmark::State& state)
{
    const QString transcript = transcriptFor(loadedStore(state)->entries());
    for (auto _ : state) {
        state.PauseTiming();
        auto store = loadedStore(state);
        state.ResumeTiming();
        benchmark::DoNotOptimize(store->recallRelevantTerms(transcript, kWindowTitle, kRecallLimit));
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
}

void BM_RecallAfterLoad(benchmark::State& state)
{
    const QString transcript = transcriptFor(loadedStore(state)->entries());
    for (auto _ : state) {
        state.PauseTiming();
        auto store = loadedStore(state);
        QElapsedTimer idle;
        idle.start();
        while (idle.elapsed() < 500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        state.ResumeTiming();
        benchmark::DoNotOptimize(store->recallRelevantTerms(transcript, kWindowTitle, kRecallLimit));
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
}

void BM_RecallWarm(benchmark::State& state)
{
    const auto store = loadedStore(state);
    const QString transcript = transcriptFor(store->entries());
    if (store->recallRelevantTerms(transcript, kWindowTitle, kRecallLimit).size() < 10)
        state.SkipWithError("recall returned too few entries");
    for (auto _ : state)
        benchmark::DoNotOptimize(store->recallRelevantTerms(transcript, kWindowTitle, kRecallLimit));
}

void BM_RankHotwordsCold(benchmark::State& state)
{
    const QString hint = hotwordHint();
    for (auto _ : state) {
        state.PauseTiming();
        auto store = loadedStore(state);
        state.ResumeTiming();
        benchmark::DoNotOptimize(store->topAcousticContextualStrings(hint, kHotwordLimit));
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
}

void BM_RankHotwordsWarm(benchmark::State& state)
{
    const auto store = loadedStore(state);
    const QString hint = hotwordHint();
    if (PersonalLexiconStore::rankHotwords(store->entries(), hint, kHotwordLimit).size() < kHotwordLimit)
        state.SkipWithError("ranking returned too few hotwords");
    for (auto _ : state)
        benchmark::DoNotOptimize(PersonalLexiconStore::rankHotwords(store->entries(), hint, kHotwordLimit));
}

} // namespace

BENCHMARK(BM_RecallCold)->Arg(500)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecallAfterLoad)->Arg(500)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RecallWarm)->Arg(500)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RankHotwordsCold)->Arg(500)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RankHotwordsWarm)->Arg(500)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBareLexicon)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadBareLexiconUntilKeyed)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_AddTermToBareLexicon)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(20);
