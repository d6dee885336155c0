#include "audio/Resampler.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

std::vector<float> speechLikeSignal(int rate, size_t count)
{
    std::vector<float> samples(count);
    for (size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        samples[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 220 * t) +
                                        0.1 * std::sin(2 * std::numbers::pi * 1800 * t));
    }
    return samples;
}

} // namespace

// Per capture buffer of a cloud session: one 512-frame tap buffer through the streaming converter. At 48 kHz
// a buffer arrives every 10.7 ms.
static void BM_StreamingResample512(benchmark::State& state)
{
    const int rate = static_cast<int>(state.range(0));
    const std::vector<float> buffer = speechLikeSignal(rate, 512);
    StreamingResampler resampler(rate);
    for (auto _ : state)
        benchmark::DoNotOptimize(resampler.process(buffer));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_StreamingResample512)->Arg(48000)->Arg(44100)->Unit(benchmark::kMicrosecond);

// Per pre-roll handover or self-test clip: a one-shot conversion, converter set-up included.
static void BM_OneShotResample(benchmark::State& state)
{
    const int rate = 48000;
    const std::vector<float> clip = speechLikeSignal(rate, static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(resampleFloatTo16kHzInt16(clip, rate));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(clip.size()));
}
// 0.18 s of pre-roll and a 5 s utterance at 48 kHz.
BENCHMARK(BM_OneShotResample)->Arg(8640)->Arg(240000)->Unit(benchmark::kMicrosecond);
