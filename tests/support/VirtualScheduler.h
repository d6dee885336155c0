#pragma once

#include "util/Scheduler.h"

#include <mutex>
#include <set>
#include <unordered_map>

// Virtual time for tests: nothing runs until the test advances the clock, and then everything due runs in
// time order on the test's thread. No test ever sleeps.
class VirtualScheduler final : public Scheduler {
public:
    // The calendar date at virtual time zero: 2025-01-01 00:00 UTC.
    static constexpr Timestamp kStartDate{757382400.0};

    const Clock& clock() const override { return m_clock; }
    TimerId schedule(Duration delay, std::function<void()> work) override;
    TimerId scheduleRepeating(Duration interval, std::function<void()> work) override;
    void cancel(TimerId id) override;

    // Moves time forward by `by`, running every callback that falls due on the way.
    void advance(Duration by);
    // Runs what is due now (zero-delay work), without moving time.
    void runDue() { advance(Duration::zero()); }
    // Moves time forward by `by` without running anything, as a busy main thread does: what fell due
    // meanwhile runs late, at the next advance.
    void stall(Duration by);
    Duration elapsed() const;
    std::size_t pendingCount() const;
    // Whether something is scheduled to run at `at` (time since zero).
    bool hasTimerDueAt(Duration at) const;

private:
    class VirtualClock final : public Clock {
    public:
        explicit VirtualClock(const VirtualScheduler& owner) : m_owner(owner) {}
        MonotonicTime now() const override { return MonotonicTime{} + m_owner.elapsed(); }
        Timestamp currentDate() const override
        {
            return kStartDate.addedSeconds(std::chrono::duration<double>(m_owner.elapsed()).count());
        }

    private:
        const VirtualScheduler& m_owner;
    };

    struct Entry {
        std::function<void()> work;
        Duration interval{};
        bool repeating = false;
    };
    TimerId add(Duration delay, Duration interval, bool repeating, std::function<void()> work);

    VirtualClock m_clock{*this};
    mutable std::mutex m_mutex;
    Duration m_elapsed{};
    TimerId m_nextId = 1;
    // Ordered by due time, then by scheduling order.
    std::set<std::pair<Duration, TimerId>> m_queue;
    std::unordered_map<TimerId, Entry> m_entries;
};
