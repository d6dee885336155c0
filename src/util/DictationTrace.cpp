#include "util/DictationTrace.h"

#include <algorithm>

namespace {

constexpr std::array<const char*, DictationTrace::kStepCount> kStepNames = {
    "tail_end_ms",   "engine_final_ms", "lexicon_recall_ms",      "first_token_ms",
    "last_token_ms", "paste_sent_ms",   "clipboard_requested_ms",
};

QByteArray milliseconds(Duration duration)
{
    return QByteArray::number(std::chrono::duration<double, std::milli>(duration).count(), 'f', 1);
}

std::size_t indexOf(DictationTrace::Step step)
{
    return static_cast<std::size_t>(step);
}

} // namespace

DictationTrace::DictationTrace(Scheduler& scheduler, LineSink sink)
    : m_scheduler(scheduler), m_sink(std::move(sink))
{
}

void DictationTrace::dictationStarted()
{
    if (m_holding)
        writeLine();
    m_active = true;
    m_stopKeyAt.reset();
    m_record = Record{};
    m_lastProbe = m_scheduler.now();
    m_stallProbe = ScheduledWork(
        &m_scheduler, m_scheduler.scheduleRepeating(kStallProbeInterval, [this] { probeStall(); }));
}

void DictationTrace::stopKeyPressed()
{
    if (m_active)
        m_stopKeyAt = m_scheduler.now();
}

void DictationTrace::mark(Step step)
{
    if (!m_stopKeyAt || (!m_active && !m_holding))
        return;
    m_record.steps[indexOf(step)] = m_scheduler.now() - *m_stopKeyAt;
    if (m_holding && step == Step::clipboardRequested)
        writeLine();
}

void DictationTrace::markModelToken()
{
    if (!m_record.steps[indexOf(Step::firstModelToken)])
        mark(Step::firstModelToken);
    mark(Step::lastModelToken);
}

void DictationTrace::dictationEnded()
{
    if (!m_active)
        return;
    stopStallProbe();
    m_active = false;
    if (!m_stopKeyAt)
        return; // never stopped: nothing to report
    const auto& steps = m_record.steps;
    if (steps[indexOf(Step::pasteSent)] && !steps[indexOf(Step::clipboardRequested)]) {
        m_holding = true;
        const Duration sincePaste = m_scheduler.now() - *m_stopKeyAt - *steps[indexOf(Step::pasteSent)];
        m_holdLimit = ScheduledWork(
            &m_scheduler, m_scheduler.schedule(kClipboardRequestWait - sincePaste, [this] { writeLine(); }));
        return;
    }
    writeLine();
}

void DictationTrace::dictationAbandoned()
{
    if (m_active)
        stopStallProbe();
    m_active = false;
    m_holding = false;
    m_holdLimit.cancel();
    m_stopKeyAt.reset();
}

void DictationTrace::probeStall()
{
    const MonotonicTime now = m_scheduler.now();
    // A tick due one interval after the last one that fires later waited that long for a busy loop.
    m_record.maxStall = std::max(m_record.maxStall, now - m_lastProbe - kStallProbeInterval);
    m_lastProbe = now;
}

void DictationTrace::stopStallProbe()
{
    probeStall(); // a stall just before the end has no later tick to show it
    m_stallProbe.cancel();
}

void DictationTrace::writeLine()
{
    m_holding = false;
    m_holdLimit.cancel();
    m_stopKeyAt.reset();
    m_sink(formatLine(m_record));
}

QByteArray DictationTrace::formatLine(const Record& record)
{
    QByteArray line("QB-TRACE");
    for (std::size_t i = 0; i < kStepCount; ++i) {
        if (record.steps[i])
            line += ' ' + QByteArray(kStepNames[i]) + '=' + milliseconds(*record.steps[i]);
    }
    line += " main_thread_max_stall_ms=" + milliseconds(record.maxStall);
    return line;
}
