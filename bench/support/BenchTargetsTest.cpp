#include "BenchTargets.h"

#include <gtest/gtest.h>

namespace {

using BenchRun = benchmark::BenchmarkReporter::Run;

BenchRun run(const std::string& name, std::map<std::string, double> counters)
{
    BenchRun result;
    result.run_name.function_name = name;
    for (const auto& [key, value] : counters)
        result.counters[key] = benchmark::Counter(value);
    return result;
}

BenchRun mean(BenchRun result)
{
    result.run_type = BenchRun::RT_Aggregate;
    result.aggregate_name = "mean";
    return result;
}

} // namespace

TEST(BenchTargetsTest, JudgesEachFigureAgainstItsOwnTarget)
{
    const auto misses = BenchTargets::missed({run("BM_Open", {{"worst_ms", 250},
                                                              {"worst_ms_target", 200},
                                                              {"mean_ms", 2},
                                                              {"mean_ms_target", 2},
                                                              {"p99_ms", 900}})});
    ASSERT_EQ(misses.size(), 1u)
        << "a figure at its target meets it; a figure without a target is not judged";
    EXPECT_EQ(misses[0].benchmark, "BM_Open");
    EXPECT_EQ(misses[0].figure, "worst_ms");
    EXPECT_EQ(misses[0].value, 250);
    EXPECT_EQ(misses[0].target, 200);
}

TEST(BenchTargetsTest, ATargetWithoutItsFigureIsMissed)
{
    const auto misses = BenchTargets::missed({run("BM_Open", {{"worst_ms_target", 200}, {"wrost_ms", 1}})});
    ASSERT_EQ(misses.size(), 1u);
    EXPECT_EQ(misses[0].figure, "worst_ms");
}

TEST(BenchTargetsTest, ErrorsAreNotJudgedAndRepetitionsAreJudgedByTheirMean)
{
    BenchRun failed = run("BM_Open", {{"worst_ms", 900}, {"worst_ms_target", 200}});
    failed.error_occurred = true;
    EXPECT_TRUE(BenchTargets::missed({failed}).empty());

    // One slow repetition among fast ones, a mean within the target: met.
    const BenchRun slow = run("BM_Open", {{"worst_ms", 260}, {"worst_ms_target", 200}});
    const BenchRun fast = run("BM_Open", {{"worst_ms", 120}, {"worst_ms_target", 200}});
    EXPECT_TRUE(BenchTargets::missed({slow, fast, fast, mean(fast)}).empty());
    EXPECT_EQ(BenchTargets::missed({fast, fast, mean(slow)}).size(), 1u);
    // Without a mean (no repetitions), every run is judged.
    EXPECT_EQ(BenchTargets::missed({fast, slow}).size(), 1u);
}
