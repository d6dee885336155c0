#include "fakes/FakeTextField.h"
#include "fakes/FakeWorkspace.h"
#include "support/VirtualScheduler.h"
#include "system/ContextInjector.h"
#include "system/LiveInputSession.h"
#include "system/SyntheticKeyLedger.h"
#include "util/Text.h"

#include <benchmark/benchmark.h>

using namespace std::chrono_literals;

namespace {

// A field in front of the injector, on virtual time.
struct Desk {
    Desk()
    {
        workspace.setFrontmost(FrontmostApplication{QStringLiteral("Notes"),
                                                    QStringLiteral("org.example.Notes"),
                                                    FakeTextField::kProcessId, QStringLiteral("Draft")});
    }
    VirtualScheduler scheduler;
    FakeTextField field;
    FakeWorkspace workspace;
    SyntheticKeyLedger ledger{scheduler.clock()};
    ContextInjector injector{
        field, field, field, workspace, scheduler, ledger, [] {
            return QList<ContextInjector::ScreenArea>{{QRectF(0, 0, 1920, 1080), QRectF(0, 0, 1920, 1080)}};
        }};
};

QString sentence(qsizetype length, bool han)
{
    const QString unit = han ? QStringLiteral("今天我们讨论接入方案然后再看预算")
                             : QStringLiteral("we discuss the plan then ");
    QString text;
    while (text.size() < length)
        text += unit;
    return text.first(length);
}

} // namespace

// The pacer's rhythm on its own clock: how many characters per second it types while working off a large
// backlog (two per 8 ms at best, limited by the 6 ms tick), and what one tick costs in real time.
static void BM_PacerRate(benchmark::State& state)
{
    const bool han = state.range(0) != 0;
    const QString text = sentence(200, han);
    Duration virtualTime{};
    std::int64_t ticks = 0;
    std::int64_t typed = 0;
    for (auto _ : state) {
        Desk desk;
        auto session = LiveInputSession::create(desk.injector, desk.injector.captureCurrentContext());
        session->updateLiveText(text, false, true);
        const Duration start = desk.scheduler.elapsed();
        // The target may be shorter than the text: trailing spaces and punctuation are held back.
        const QString target = session->targetConfirmedText();
        while (session->currentText() != target) {
            desk.scheduler.advance(LiveInputSession::kPacerInterval);
            desk.injector.pacerQueue()->sync([] {});
            ++ticks;
        }
        virtualTime += desk.scheduler.elapsed() - start;
        typed += Text::graphemeCount(target);
    }
    const double seconds = std::chrono::duration<double>(virtualTime).count();
    state.counters["chars_per_virtual_s"] =
        benchmark::Counter(static_cast<double>(typed) / seconds);
    state.counters["ticks"] =
        benchmark::Counter(static_cast<double>(ticks), benchmark::Counter::kAvgIterations);
    state.counters["real_per_tick"] = benchmark::Counter(
        static_cast<double>(ticks), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// 0: ASCII text; 1: Han text.
BENCHMARK(BM_PacerRate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One partial transcript of a long dictation: stripping, local agreement or the cloud rule, the continuation
// and queueing a tick. The context stays undecided so nothing is typed and only the partial is measured.
static void BM_UpdateLiveText(benchmark::State& state)
{
    const qsizetype length = state.range(0);
    const bool cloud = state.range(1) != 0;
    Desk desk;
    auto session = LiveInputSession::create(desk.injector, std::nullopt);
    const QString text = sentence(length + 64, true);
    qsizetype at = length;
    for (auto _ : state) {
        benchmark::DoNotOptimize(session->updateLiveText(text.first(at), false, cloud));
        at = at + 1 < text.size() ? at + 1 : length;
    }
    desk.injector.pacerQueue()->sync([] {});
    state.SetItemsProcessed(state.iterations());
}
// {characters so far, cloud stream}
BENCHMARK(BM_UpdateLiveText)->Args({50, 0})->Args({500, 0})->Args({2000, 0})->Args({500, 1})->Args({2000, 1});

static void BM_ComputeLocalAgreement(benchmark::State& state)
{
    const QString curr = sentence(state.range(0), true);
    const QString prev = curr.first(curr.size() - 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(LiveInputSession::computeLocalAgreement(prev, curr, false, false));
}
BENCHMARK(BM_ComputeLocalAgreement)->Arg(50)->Arg(500)->Arg(2000);

// The aligned (slow) path: the stable text rewords what was confirmed.
static void BM_ContinuationSuffixReworded(benchmark::State& state)
{
    const QString stable = sentence(state.range(0), true);
    const QString confirmed = QStringLiteral("明日") + stable.sliced(2, stable.size() - 10);
    for (auto _ : state)
        benchmark::DoNotOptimize(LiveInputSession::extractNewContinuationSuffix(confirmed, stable));
}
BENCHMARK(BM_ContinuationSuffixReworded)->Arg(50)->Arg(500)->Arg(2000);
