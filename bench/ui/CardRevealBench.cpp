#include "ui/dashboard/MainDashboardView.h"
#include "ui/pages/settings/EngineSettingsSection.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBExpandableCard.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QVariantAnimation>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <vector>

// A speech engine card opening and closing on the settings page, with a full lexicon (5,000 terms) and a full
// history (1,000 records): each frame of its 0.14 s animation, against the window's frame budget (target
// 16 ms). Frames are stepped by hand, a frame interval apart, so every run draws the same frames.

namespace {
constexpr int kTerms = 5000;
constexpr int kRecords = 1000;
constexpr int kFrameBudgetMs = 16;

void lightLook()
{
    static const bool applied = [] {
        QBTheme::applyLightLook(*qApp);
        return true;
    }();
    (void)applied;
}

// Time the calling thread has run, without the time other processes had the processor.
qint64 threadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double p99(std::vector<qint64> frames)
{
    std::sort(frames.begin(), frames.end());
    return double(frames[std::min(frames.size() - 1, frames.size() * 99 / 100)]) / 1e6;
}
} // namespace

static void BM_EngineCardRevealFrame(benchmark::State& state)
{
    lightLook();
    DashboardFixture fixture;
    AppState& appState = fixture.start(kRecords, kTerms);
    appState.setSelectedTab(SidebarTab::settings);
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
    auto* page = qobject_cast<EngineSettingsSection*>(view.page());
    const ASRProviderOption provider = ASRProviderOption::openAIWhisper;
    auto* card = view.findChild<QBExpandableCard*>(QStringLiteral("engineCard-") + provider.rawValue());
    if (!page || !card) {
        state.SkipWithError("the settings page has no engine card");
        return;
    }
    QVariantAnimation* animation = card->revealAnimation();
    // The first paint (glyphs rasterised, shadows drawn) belongs to opening the page, not to the animation.
    view.repaint();

    std::vector<qint64> wall;
    std::vector<qint64> cpu;
    int elapsedMs = -1; // no animation under way
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const qint64 cpuStart = threadCpuNanoseconds();
        if (elapsedMs < 0) {
            // The click on the header: the card opens, or closes when it is open; its first frame.
            page->toggleASRCard(provider);
            view.refreshNow();
            animation->pause(); // stepped by hand from here
            elapsedMs = 0;
        } else {
            elapsedMs = std::min(elapsedMs + kFrameBudgetMs, animation->duration());
            animation->setCurrentTime(elapsedMs);
            if (elapsedMs == animation->duration()) {
                animation->stop();
                elapsedMs = -1;
            }
        }
        // The layout the new height asks for, and the repaint of the whole window.
        QCoreApplication::processEvents();
        view.repaint();
        const qint64 spent = timer.nsecsElapsed();
        wall.push_back(spent);
        cpu.push_back(threadCpuNanoseconds() - cpuStart);
        state.SetIterationTime(double(spent) / 1e9);
    }
    if (wall.empty())
        return;
    const double cpuP99 = p99(cpu);
    state.counters["p99_ms"] = p99(wall);
    state.counters["worst_ms"] = double(*std::max_element(wall.begin(), wall.end())) / 1e6;
    state.counters["cpu_p99_ms"] = cpuP99;
    state.counters["budget_ms"] = kFrameBudgetMs;
    // The machine's other work shows in the wall-clock figures; the target is held by the main thread's own
    // time for 99 frames in 100.
    if (cpuP99 > kFrameBudgetMs)
        state.SkipWithError("a frame of an engine card opening took longer than 16 ms");
}
BENCHMARK(BM_EngineCardRevealFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);
