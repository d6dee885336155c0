// Benchmarks with known outcomes, for the check of the shared main (check-bench-main.sh): one that always
// misses its target and one that reports a wrong result.
#include "BenchTargets.h"

#include <benchmark/benchmark.h>

static void BM_MissesItsTarget(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::ClobberMemory();
    BenchTargets::report(state, "figure_ms", 2, 1);
}
BENCHMARK(BM_MissesItsTarget)->Iterations(1);

static void BM_WrongResult(benchmark::State& state)
{
    for (auto _ : state) {
        state.SkipWithError("wrong result");
        break;
    }
}
BENCHMARK(BM_WrongResult)->Iterations(1);
