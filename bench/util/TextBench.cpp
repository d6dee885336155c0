#include "model/AudioLevelBus.h"
#include "util/Text.h"

#include <benchmark/benchmark.h>

// Per partial transcript: the pipeline counts and cuts graphemes of the growing text.
static void BM_GraphemeCountMixedText(benchmark::State& state)
{
    QString text;
    while (text.size() < state.range(0))
        text += QStringLiteral("今天我们讨论 DeepSeek 的接入方案，👍 然后");
    for (auto _ : state)
        benchmark::DoNotOptimize(Text::graphemeCount(text));
    state.SetItemsProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_GraphemeCountMixedText)->Arg(64)->Arg(1024);

static void BM_GraphemeCountAscii(benchmark::State& state)
{
    const QString text(static_cast<qsizetype>(state.range(0)), u'a');
    for (auto _ : state)
        benchmark::DoNotOptimize(Text::graphemeCount(text));
    state.SetItemsProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_GraphemeCountAscii)->Arg(1024);

// Per audio buffer: the capture thread posts one level.
static void BM_LevelBusPush(benchmark::State& state)
{
    AudioLevelBus bus;
    float level = 0;
    for (auto _ : state) {
        bus.push(level);
        level = level > 1 ? 0 : level + 0.01f;
    }
}
BENCHMARK(BM_LevelBusPush);
