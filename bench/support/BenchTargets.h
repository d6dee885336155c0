#pragma once

// Speed targets of the benchmarks. A benchmark reports a figure and the most it may be as two user counters
// ("worst_ms" and "worst_ms_target"), so every output format (console, JSON, CSV, --benchmark_out) carries
// both, and the shared main judges every program's runs the same way. A missed target is printed; it fails
// the program only when targets are enforced (--qb_enforce_targets), as a loaded machine misses targets
// without the code being at fault.

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace BenchTargets {

inline constexpr const char* kEnforceFlag = "--qb_enforce_targets";
inline constexpr const char* kTargetSuffix = "_target";

// Reports `value` as the figure `name`, held to at most `target` (in the same unit, which the name says).
void report(benchmark::State& state, const std::string& name, double value, double target);

struct Miss {
    std::string benchmark;
    std::string figure;
    double value = 0;
    double target = 0;
};

// The targets the runs of one benchmark missed. Runs that reported an error are left out (they fail
// anyway); where the runs include a mean over repetitions, the mean alone is judged. A target whose figure
// is missing counts as missed, so a misspelt figure cannot pass unseen.
std::vector<Miss> missed(const std::vector<benchmark::BenchmarkReporter::Run>& runs);

} // namespace BenchTargets
