#include "WindowBenchSupport.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/pages/dictionary/DictionaryInlineEditor.h"
#include "ui/pages/dictionary/PersonalDictionarySection.h"
#include "ui/support/DashboardFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <vector>

// The dictionary page with 5,000 terms: selecting its tab until the first frame is painted (target 100 ms),
// and one keystroke in its search box until the window has repainted the filtered list (target 16 ms, one
// frame). With 100,000 terms: adding, editing and deleting a term on the open page, each held to one frame
// of the main thread's own time.

namespace {

constexpr int kTerms = 5000;

void paintFrame(QWidget& view)
{
    QImage frame(view.size(), QImage::Format_ARGB32_Premultiplied);
    view.render(&frame);
}

} // namespace

static void BM_DictionaryOpen(benchmark::State& state)
{
    lightLook();
    DashboardFixture fixture;
    AppState& appState = fixture.start(0, kTerms);
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    QCoreApplication::processEvents();
    qint64 total = 0;
    qint64 worst = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        appState.setSelectedTab(SidebarTab::dictionary);
        QCoreApplication::processEvents();
        paintFrame(view);
        const qint64 spent = timer.nsecsElapsed();
        state.SetIterationTime(double(spent) / 1e9);
        total += spent;
        worst = std::max(worst, spent);
        if (!qobject_cast<PersonalDictionarySection*>(view.page()))
            state.SkipWithError("the dictionary page was not built");
        // Back to another tab, untimed, so the next round builds the page afresh.
        appState.setSelectedTab(SidebarTab::home);
        QCoreApplication::processEvents();
    }
    // The target is the typical cost; the worst round also holds the shared machine's scheduling noise.
    state.counters["worst_ms"] = double(worst) / 1e6;
    if (state.iterations() > 0)
        BenchTargets::report(state, "mean_ms", double(total) / double(state.iterations()) / 1e6, 100);
}
BENCHMARK(BM_DictionaryOpen)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

static void BM_DictionarySearchKeystroke(benchmark::State& state)
{
    lightLook();
    DashboardFixture fixture;
    AppState& appState = fixture.start(0, kTerms);
    appState.setSelectedTab(SidebarTab::dictionary);
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    QCoreApplication::processEvents();
    auto* search = view.findChild<QLineEdit*>(QStringLiteral("searchField"));
    if (!search) {
        state.SkipWithError("no search field");
        return;
    }
    // Counts the list's repaints: each keystroke must have led to one within the measured time.
    struct PaintCounter final : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override
        {
            paints += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter;
    view.findChild<QWidget*>(QStringLiteral("entryList"))->installEventFilter(&counter);
    bool typed = false;
    qint64 total = 0;
    qint64 worst = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        // "1" keeps the terms that hold it (about a third); the backspace brings back all 5,000.
        const int paintsBefore = counter.paints;
        QTest::keyClick(search, typed ? Qt::Key_Backspace : Qt::Key_1);
        typed = !typed;
        // The filter, the new layout and the window's repaint of what changed.
        QCoreApplication::processEvents();
        const qint64 spent = timer.nsecsElapsed();
        state.SetIterationTime(double(spent) / 1e9);
        if (counter.paints == paintsBefore) {
            state.SkipWithError("a search keystroke did not repaint the list");
            break;
        }
        total += spent;
        worst = std::max(worst, spent);
    }
    state.counters["worst_ms"] = double(worst) / 1e6;
    if (state.iterations() > 0)
        BenchTargets::report(state, "mean_ms", double(total) / double(state.iterations()) / 1e6, 16);
}
BENCHMARK(BM_DictionarySearchKeystroke)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

namespace {

constexpr int kLargeLexicon = 100000;

// Time the calling thread has run, without the time other processes had the processor.
qint64 threadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Keyed as a lexicon that has been in use is, so building it costs the benchmark no transform.
QList<LexiconEntry> keyedTerms(int count)
{
    QList<LexiconEntry> entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i)
        entries.append(LexiconEntry(QUuid::createUuid(), QStringLiteral("术语%1 Term").arg(i), {},
                                    QStringLiteral("shuyu%1term").arg(i), LexiconCategory::project,
                                    LexiconEntry::kDefaultWeight, 0, Timestamp::fromUnixSeconds(1.74e9)));
    return entries;
}

enum class Edit { add, edit, remove };

} // namespace

// One change of the lexicon on the open page: the click, the store's change, the page's update and the
// window's repaint, then the saved result coming back. Held to a frame of the main thread's own time (the
// wall clock, which also holds the wait for the disk, is shown beside it).
static void BM_DictionaryEditOver100kTerms(benchmark::State& state)
{
    const auto kind = Edit(state.range(0));
    lightLook();
    DashboardFixture fixture;
    AppState& appState = fixture.start(0, -1);
    PersonalLexiconStore& store = appState.lexiconStore();
    store.setEntries(keyedTerms(kLargeLexicon));
    appState.setSelectedTab(SidebarTab::dictionary);
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    QCoreApplication::processEvents();
    auto* page = qobject_cast<PersonalDictionarySection*>(view.page());
    auto* newTerm = view.findChild<QLineEdit*>(QStringLiteral("newTermField"));
    auto* addButton = view.findChild<QAbstractButton*>(QStringLiteral("addTermButton"));
    if (!page || !newTerm || !addButton) {
        state.SkipWithError("the dictionary page was not built");
        return;
    }
    DictionaryEntryList& list = *page->entryList();
    std::vector<double> cpuMs;
    double worstWallMs = 0;
    int round = 0;
    for (auto _ : state) {
        const qsizetype before = store.entries().size();
        const QString term = QStringLiteral("新词%1 Added").arg(round++);
        if (kind == Edit::edit) {
            // Opening the editor is not the change measured.
            page->beginInlineEdit(list.entryAt(0));
            page->inlineEditor()->termField()->setText(term);
            QCoreApplication::processEvents();
        } else if (kind == Edit::add) {
            newTerm->setText(term);
        }
        QElapsedTimer wall;
        wall.start();
        const qint64 cpuStart = threadCpuNanoseconds();
        switch (kind) {
        case Edit::add:
            QTest::mouseClick(addButton, Qt::LeftButton);
            break;
        case Edit::edit:
            QTest::keyClick(page->inlineEditor()->termField(), Qt::Key_Return);
            break;
        case Edit::remove:
            QTest::mouseClick(&list, Qt::LeftButton, {},
                              list.partCenter(0, DictionaryEntryList::Part::remove));
            break;
        }
        QCoreApplication::processEvents();
        // The save runs on the writer's thread, which the main thread's own time leaves out; its result is
        // handled on the main thread.
        store.waitForSaves();
        QCoreApplication::processEvents();
        cpuMs.push_back(double(threadCpuNanoseconds() - cpuStart) / 1e6);
        const qint64 spent = wall.nsecsElapsed();
        worstWallMs = std::max(worstWallMs, double(spent) / 1e6);
        state.SetIterationTime(double(spent) / 1e9);

        const qsizetype expected = before + (kind == Edit::add ? 1 : kind == Edit::remove ? -1 : 0);
        const bool shown = kind == Edit::remove || (list.rowCount() > 0 && list.entryAt(0).term == term);
        if (store.entries().size() != expected || list.rowCount() != expected || !shown) {
            state.SkipWithError("the change did not reach the store and the page");
            break;
        }
    }
    if (cpuMs.empty())
        return;
    // The typical edit is held to the frame; the worst one also holds the shared machine's noise (a page
    // fault storm, another process on the same core) and is shown beside it.
    std::sort(cpuMs.begin(), cpuMs.end());
    state.counters["cpu_worst_ms"] = cpuMs.back();
    state.counters["worst_ms"] = worstWallMs;
    BenchTargets::report(state, "cpu_median_ms", cpuMs[cpuMs.size() / 2], kFrameBudgetMs);
}
BENCHMARK(BM_DictionaryEditOver100kTerms)
    ->ArgName("add_edit_delete")
    ->Arg(int(Edit::add))
    ->Arg(int(Edit::edit))
    ->Arg(int(Edit::remove))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(21);
