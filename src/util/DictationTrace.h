#pragma once

#include "util/Scheduler.h"

#include <QByteArray>
#include <array>
#include <functional>
#include <optional>

// Timing of one dictation, for measuring: when each step after the stop key happened, and how late the main
// thread's event loop ran from the start key to the end. Written as one line per dictation:
//   QB-TRACE tail_end_ms=100.3 engine_final_ms=112.0 ... main_thread_max_stall_ms=3.1
// Times are ms since the stop key; steps that did not happen are left out. Created by the composition root
// only when tracing is switched on, so the pipeline's only cost without it is a null check. Main thread only.
class DictationTrace final {
public:
    // In the order they happen and are written.
    enum class Step {
        tailEnd,
        engineFinal,
        lexiconRecall,
        firstModelToken,
        lastModelToken,
        pasteSent,
        clipboardRequested,
    };
    static constexpr std::size_t kStepCount = 7;

    // Often enough that a stall of one frame (16 ms) cannot hide between two ticks.
    static constexpr Duration kStallProbeInterval = std::chrono::milliseconds(4);
    // The target asks for pasted data within the injector's restore limit or never; the line waits that
    // long after the paste for the request before it is written without it.
    static constexpr Duration kClipboardRequestWait = seconds(1.05);

    struct Record {
        std::array<std::optional<Duration>, kStepCount> steps; // since the stop key
        Duration maxStall{};
    };

    using LineSink = std::function<void(const QByteArray& line)>;

    DictationTrace(Scheduler& scheduler, LineSink sink);
    DictationTrace(const DictationTrace&) = delete;
    DictationTrace& operator=(const DictationTrace&) = delete;

    // The start key: a new dictation, watched for stalls until it ends. A line still waiting is written.
    void dictationStarted();
    // The stop key: time zero of the steps.
    void stopKeyPressed();
    // The step happened now; the latest time of a step counts.
    void mark(Step step);
    // A piece of the model's answer arrived: the first one and the last one count.
    void markModelToken();
    // The dictation is over: the stall watch stops and the line is written, or, after a paste whose
    // clipboard request has not come yet, held for it at most kClipboardRequestWait.
    void dictationEnded();
    // A cancelled or failed dictation: the stall watch stops and nothing is written.
    void dictationAbandoned();

    bool isWatchingStalls() const { return m_stallProbe.isActive(); }

    static QByteArray formatLine(const Record& record);

private:
    void probeStall();
    void stopStallProbe();
    void writeLine();

    Scheduler& m_scheduler;
    LineSink m_sink;
    bool m_active = false;  // between the start key and the end
    bool m_holding = false; // ended, waiting for the clipboard request
    std::optional<MonotonicTime> m_stopKeyAt;
    Record m_record;
    MonotonicTime m_lastProbe{};
    ScheduledWork m_stallProbe;
    ScheduledWork m_holdLimit;
};
