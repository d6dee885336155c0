#pragma once

#include "BenchTargets.h"
#include "ui/theme/QBTheme.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <vector>

// What the window benchmarks share: the app's own look, and the cost of each frame they draw.

// The window's frame budget: a frame drawn within it keeps an animation at 60 frames a second.
inline constexpr int kFrameBudgetMs = 16;

// The light look the app applies at start, once per program.
inline void lightLook()
{
    static const bool applied = [] {
        QBTheme::applyLightLook(*qApp);
        return true;
    }();
    (void)applied;
}

// Wall-clock and main-thread CPU time of each frame. The machine's other work shows in the wall-clock
// figures; a frame budget is held by the main thread's own time for 99 frames in 100.
class FrameTimes {
public:
    void begin()
    {
        m_timer.start();
        m_cpuStart = threadCpuNanoseconds();
    }
    // Ends the frame begun last; its wall-clock time in seconds, for State::SetIterationTime.
    double end()
    {
        const qint64 spent = m_timer.nsecsElapsed();
        m_wall.push_back(spent);
        m_cpu.push_back(threadCpuNanoseconds() - m_cpuStart);
        return double(spent) / 1e9;
    }

    // p99_ms and worst_ms of the wall clock, and cpu_p99_ms held to `budgetMs`.
    void report(benchmark::State& state, double budgetMs) const
    {
        if (m_wall.empty())
            return;
        state.counters["p99_ms"] = p99(m_wall);
        state.counters["worst_ms"] = double(*std::max_element(m_wall.begin(), m_wall.end())) / 1e6;
        BenchTargets::report(state, "cpu_p99_ms", p99(m_cpu), budgetMs);
    }

private:
    // Time the calling thread has run, without the time other processes had the processor.
    static qint64 threadCpuNanoseconds()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    static double p99(std::vector<qint64> frames)
    {
        std::sort(frames.begin(), frames.end());
        return double(frames[std::min(frames.size() - 1, frames.size() * 99 / 100)]) / 1e6;
    }

    QElapsedTimer m_timer;
    qint64 m_cpuStart = 0;
    std::vector<qint64> m_wall;
    std::vector<qint64> m_cpu;
};
