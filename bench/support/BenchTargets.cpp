#include "BenchTargets.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace BenchTargets {

void report(benchmark::State& state, const std::string& name, double value, double target)
{
    state.counters[name] = value;
    state.counters[name + kTargetSuffix] = target;
}

std::vector<Miss> missed(const std::vector<benchmark::BenchmarkReporter::Run>& runs)
{
    using Run = benchmark::BenchmarkReporter::Run;
    const bool hasMean = std::any_of(runs.begin(), runs.end(), [](const Run& run) {
        return run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
    });
    const std::string_view suffix(kTargetSuffix);
    std::vector<Miss> misses;
    for (const Run& run : runs) {
        if (run.error_occurred)
            continue;
        const bool judged = hasMean ? run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean"
                                    : run.run_type == Run::RT_Iteration;
        if (!judged)
            continue;
        for (const auto& [name, counter] : run.counters) {
            if (name.size() <= suffix.size() || !name.ends_with(suffix))
                continue;
            const std::string figure = name.substr(0, name.size() - suffix.size());
            const auto found = run.counters.find(figure);
            const double value = found == run.counters.end() ? NAN : found->second.value;
            // Written so that a missing or non-finite figure misses too.
            if (!(value <= counter.value))
                misses.push_back({run.benchmark_name(), figure, value, counter.value});
        }
    }
    return misses;
}

} // namespace BenchTargets
