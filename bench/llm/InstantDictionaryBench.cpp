#include "llm/InstantDictionary.h"
#include "llm/PolishEngine.h"

#include <QUuid>
#include <benchmark/benchmark.h>
#include <random>

namespace {

// A 5,000-term lexicon of the kind users build: Chinese names and project words with homophone aliases, and
// Latin product names with spoken-out aliases.
QList<LexiconEntry> makeLexicon(int count)
{
    std::mt19937 random(7);
    const QString hanzi = QStringLiteral("张王李赵刘陈杨黄周吴星河海云山风林月明华伟强军平文辉建国志勇");
    auto pick = [&](int length) {
        QString text;
        for (int i = 0; i < length; ++i)
            text += hanzi[static_cast<qsizetype>(random() % hanzi.size())];
        return text;
    };
    QList<LexiconEntry> entries;
    for (int i = 0; i < count; ++i) {
        QString term;
        QStringList aliases;
        if (i % 3 == 0) {
            term = QStringLiteral("Product%1").arg(i);
            aliases = {QStringLiteral("prod %1").arg(i), QStringLiteral("pd%1").arg(i)};
        } else {
            term = pick(2 + i % 3);
            aliases = {pick(2 + i % 3), pick(3)};
        }
        entries.append(LexiconEntry(QUuid::createUuid(), term, aliases, QString(), LexiconCategory::project,
                                    5, 0, Timestamp::now()));
    }
    return entries;
}

QString makePartial()
{
    QString text =
        QStringLiteral("我们今天下午和张伟一起看一下星河项目的进度，然后把prod 3的接口文档同步给海云团队，");
    while (text.size() < 300)
        text += QStringLiteral("另外记得检查一下明天的发布计划和回滚方案，");
    return text.left(300);
}

void BM_InstantCorrection_Cached(benchmark::State& state)
{
    const QList<LexiconEntry> lexicon = makeLexicon(5000);
    const QString partial = makePartial();
    const ActiveScreenContext context = ActiveScreenContext::empty();
    const LLMConfig config = LLMConfig::defaults();
    PolishEngine::applyInstantLocalDictionary(partial, lexicon, context, config, false); // compiles once
    for (auto _ : state)
        benchmark::DoNotOptimize(
            PolishEngine::applyInstantLocalDictionary(partial, lexicon, context, config, false));
}
BENCHMARK(BM_InstantCorrection_Cached)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_InstantCorrection_CompiledEveryCall(benchmark::State& state)
{
    const QList<LexiconEntry> lexicon = makeLexicon(5000);
    const QString partial = makePartial();
    for (auto _ : state)
        benchmark::DoNotOptimize(InstantDictionary::compile(lexicon)->apply(partial));
}
BENCHMARK(BM_InstantCorrection_CompiledEveryCall)->Unit(benchmark::kMicrosecond);

} // namespace
