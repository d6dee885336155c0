#include "WindowBenchSupport.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/support/DashboardFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <benchmark/benchmark.h>

// The main window's costs on the main thread: its first show with a full history and lexicon (target
// 200 ms), and what one phase change of a dictation costs it (target 2 ms).

static void BM_WindowFirstShow(benchmark::State& state)
{
    lightLook();
    DashboardFixture fixture;
    AppState& appState = fixture.start(1000, 5000);
    qint64 worst = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        MainDashboardView view(appState);
        view.resize(960, 650);
        view.show();
        QCoreApplication::processEvents();
        // The first frame: everything laid out and painted once.
        QImage frame(view.size(), QImage::Format_ARGB32_Premultiplied);
        view.render(&frame);
        const qint64 spent = timer.nsecsElapsed();
        worst = std::max(worst, spent);
        state.SetIterationTime(double(spent) / 1e9);
    }
    // Every show is held to the target, the slowest included.
    BenchTargets::report(state, "worst_ms", double(worst) / 1e6, 200);
}
BENCHMARK(BM_WindowFirstShow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

static void BM_PhaseChangeDuringDictation(benchmark::State& state)
{
    lightLook();
    DashboardFixture fixture;
    AppState& appState = fixture.start(1000, 5000);
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    QCoreApplication::processEvents();
    int i = 0;
    qint64 worst = 0;
    qint64 total = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        appState.setPhase(
            PipelinePhase::listening(QStringLiteral("第 %1 字").arg(i), DictationMode::dictate));
        appState.setSandboxText(QStringLiteral("试用 %1").arg(i++));
        // The coalesced refresh and the repaint of what changed.
        QCoreApplication::processEvents();
        const qint64 spent = timer.nsecsElapsed();
        worst = std::max(worst, spent);
        total += spent;
        state.SetIterationTime(double(spent) / 1e9);
    }
    state.counters["worst_ms"] = double(worst) / 1e6;
    // The target is the typical cost; the worst single turn is reported, as it also holds the machine's
    // scheduling noise.
    if (state.iterations() > 0)
        BenchTargets::report(state, "mean_ms", double(total) / double(state.iterations()) / 1e6, 2);
}
BENCHMARK(BM_PhaseChangeDuringDictation)->UseManualTime()->Unit(benchmark::kMicrosecond);
