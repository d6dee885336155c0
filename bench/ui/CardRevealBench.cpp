#include "WindowBenchSupport.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/pages/settings/EngineSettingsSection.h"
#include "ui/support/DashboardFixture.h"
#include "ui/widgets/QBExpandableCard.h"

#include <QApplication>
#include <QVariantAnimation>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <vector>

// A speech engine card opening and closing on the settings page, with a full lexicon (5,000 terms) and a full
// history (1,000 records): each frame of its 0.14 s animation, against the window's frame budget (target
// 16 ms). Frames are stepped by hand, a frame interval apart, so every run draws the same frames.

namespace {
constexpr int kTerms = 5000;
constexpr int kRecords = 1000;
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

    FrameTimes frames;
    int elapsedMs = -1; // no animation under way
    for (auto _ : state) {
        frames.begin();
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
        // The layout the new height asks for, all of it (layout requests left to the event loop travel up a
        // level of widgets per turn), and the repaint of the whole window.
        for (int turn = 0; turn < 6; ++turn)
            QCoreApplication::processEvents();
        view.repaint();
        state.SetIterationTime(frames.end());
    }
    frames.report(state, kFrameBudgetMs);
}
BENCHMARK(BM_EngineCardRevealFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);
