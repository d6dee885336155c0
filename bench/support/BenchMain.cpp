// The one main of every benchmark program: a QCoreApplication for the code that needs an event loop object
// (timers, sockets, queued calls), and an exit status that fails when any benchmark reported an error, so the
// smoke runs under ctest cannot pass a benchmark that never measured anything.
#include <QCoreApplication>
#ifdef QB_BENCH_WIDGETS
#include <QApplication>
#endif
#include <benchmark/benchmark.h>
#include <cstdio>
#include <vector>

namespace {

class ErrorCountingReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred)
                ++m_errors;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    int errors() const { return m_errors; }

private:
    int m_errors = 0;
};

} // namespace

int main(int argc, char** argv)
{
#ifdef QB_BENCH_WIDGETS
    // Window benchmarks build widgets: a full application, offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ErrorCountingReporter reporter;
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.errors() > 0) {
        fprintf(stderr, "%d benchmark(s) reported an error\n", reporter.errors());
        return 1;
    }
    return ran > 0 ? 0 : 1;
}
