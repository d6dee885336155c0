#include "ui/pill/FloatingPillView.h"
#include "ui/pill/FluidSineWaveView.h"

#include <QApplication>
#include <QImage>
#include <benchmark/benchmark.h>

// The pill redraws every 16 ms while shown: one frame must stay a small part of that.

static void BM_PillFrameListening(benchmark::State& state)
{
    const bool compact = state.range(0) != 0;
    MainThreadScheduler scheduler;
    AudioLevelBus bus;
    bus.push(0.7f);
    bus.pushRecognizedCount(30);
    FloatingPillView view(scheduler, bus);
    view.resize(224, 58);
    view.setContent(PipelinePhase::listening({}, DictationMode::dictate), compact);
    view.show();
    QCoreApplication::processEvents();
    QImage frame(QSize(224, 58) * 2, QImage::Format_ARGB32_Premultiplied);
    frame.setDevicePixelRatio(2);
    for (auto _ : state) {
        view.render(&frame, QPoint(), QRegion(), QWidget::DrawChildren);
        benchmark::DoNotOptimize(frame.constBits());
    }
    state.SetItemsProcessed(state.iterations());
}
// 0: the full pill with the glyph stream; 1: the slim capsule of live typing.
BENCHMARK(BM_PillFrameListening)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

static void BM_WavePaths(benchmark::State& state)
{
    double time = 757382400.0;
    for (auto _ : state) {
        for (int layer = 0; layer < 3; ++layer)
            benchmark::DoNotOptimize(FluidSineWaveView::wavePath(layer, QSizeF(86, 14), time, 0.6f));
        time += 0.016;
    }
}
BENCHMARK(BM_WavePaths)->Unit(benchmark::kMicrosecond);
