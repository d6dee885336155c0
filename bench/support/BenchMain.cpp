// The one main of every benchmark program: a QCoreApplication for the code that needs an event loop object
// (timers, sockets, queued calls), the display format Google Benchmark's flags ask for, and an exit status
// that fails when any benchmark reported an error, so the smoke runs under ctest cannot pass a benchmark that
// never measured anything. Speed targets are judged here for every program; a miss fails the program only
// with --qb_enforce_targets.
#include "BenchTargets.h"

#include <QCoreApplication>
#if defined(QB_BENCH_WIDGETS) || defined(QB_BENCH_X11)
#include <QApplication>
#endif
#ifdef QB_BENCH_X11
#include "PrivateXServer.h"
#endif
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Sees every run on its way to the display reporter the flags chose (--benchmark_format); --benchmark_out
// gets the library's own file reporter.
class JudgingReporter final : public benchmark::BenchmarkReporter {
public:
    explicit JudgingReporter(benchmark::BenchmarkReporter& display) : m_display(display) {}

    bool ReportContext(const Context& context) override { return m_display.ReportContext(context); }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred)
                ++m_errors;
        }
        const std::vector<BenchTargets::Miss> misses = BenchTargets::missed(runs);
        m_misses.insert(m_misses.end(), misses.begin(), misses.end());
        m_display.ReportRuns(runs);
    }
    void Finalize() override { m_display.Finalize(); }

    int errors() const { return m_errors; }
    const std::vector<BenchTargets::Miss>& misses() const { return m_misses; }

private:
    benchmark::BenchmarkReporter& m_display;
    int m_errors = 0;
    std::vector<BenchTargets::Miss> m_misses;
};

// Takes our own flag out of the arguments before Google Benchmark sees them.
bool takeFlag(int& argc, char** argv, const char* flag)
{
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return found;
}

} // namespace

int main(int argc, char** argv)
{
#if defined(QB_BENCH_X11)
    // Desktop benchmarks talk to an X server: a private one, and no session bus of the desktop's either.
    PrivateXServer xServer;
    if (xServer.display().isEmpty()) {
        fprintf(stderr, "could not start a private X server (Xvfb)\n");
        return 1;
    }
    qputenv("DISPLAY", xServer.display());
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("WAYLAND_DISPLAY");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorbell-bench-bus");
    QApplication app(argc, argv);
#elif defined(QB_BENCH_WIDGETS)
    // Window benchmarks build widgets: a full application, offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    const bool enforce = takeFlag(argc, argv, BenchTargets::kEnforceFlag);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    JudgingReporter reporter(*benchmark::CreateDefaultDisplayReporter());
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const BenchTargets::Miss& miss : reporter.misses()) {
        fprintf(stderr, "target missed: %s %s = %g, target %g%s\n", miss.benchmark.c_str(),
                miss.figure.c_str(), miss.value, miss.target, enforce ? "" : " (not enforced)");
    }
    if (reporter.errors() > 0) {
        fprintf(stderr, "%d benchmark(s) reported an error\n", reporter.errors());
        return 1;
    }
    if (enforce && !reporter.misses().empty())
        return 1;
    return ran > 0 ? 0 : 1;
}
