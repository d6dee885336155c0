#pragma once

#include "util/Timestamp.h"

#include <QObject>
#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

using Duration = std::chrono::nanoseconds;
using MonotonicTime = std::chrono::steady_clock::time_point;

// Time as the app sees it. Injected everywhere so tests run on virtual time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual MonotonicTime now() const = 0;
    virtual Timestamp currentDate() const = 0;
};

using TimerId = std::uint64_t;

// Every delay and timer of the app goes through this. Callbacks run on the main thread (the scheduler's
// thread for the virtual one). schedule/cancel may be called from any thread; a cancelled callback never runs
// once cancel() has returned, unless it was already running.
class Scheduler {
public:
    virtual ~Scheduler() = default;

    virtual const Clock& clock() const = 0;
    virtual TimerId schedule(Duration delay, std::function<void()> work) = 0;
    virtual TimerId scheduleRepeating(Duration interval, std::function<void()> work) = 0;
    virtual void cancel(TimerId id) = 0;

    MonotonicTime now() const { return clock().now(); }
    Timestamp currentDate() const { return clock().currentDate(); }
};

// Owns one scheduled piece of work and cancels it when replaced or destroyed.
class ScheduledWork {
public:
    ScheduledWork() = default;
    ScheduledWork(Scheduler* scheduler, TimerId id) : m_scheduler(scheduler), m_id(id) {}
    ScheduledWork(ScheduledWork&& other) noexcept { *this = std::move(other); }
    ScheduledWork& operator=(ScheduledWork&& other) noexcept
    {
        if (this != &other) {
            cancel();
            m_scheduler = std::exchange(other.m_scheduler, nullptr);
            m_id = std::exchange(other.m_id, 0);
        }
        return *this;
    }
    ScheduledWork(const ScheduledWork&) = delete;
    ScheduledWork& operator=(const ScheduledWork&) = delete;
    ~ScheduledWork() { cancel(); }

    void cancel()
    {
        if (m_scheduler && m_id)
            m_scheduler->cancel(m_id);
        m_scheduler = nullptr;
        m_id = 0;
    }
    bool isActive() const { return m_scheduler && m_id; }

private:
    Scheduler* m_scheduler = nullptr;
    TimerId m_id = 0;
};

// The real clock: steady time and the system's wall clock.
class SystemClock final : public Clock {
public:
    MonotonicTime now() const override { return std::chrono::steady_clock::now(); }
    Timestamp currentDate() const override { return Timestamp::now(); }
};

// Runs work on the Qt main thread with precise QTimers.
class MainThreadScheduler final : public QObject, public Scheduler {
public:
    explicit MainThreadScheduler(QObject* parent = nullptr);
    ~MainThreadScheduler() override;

    const Clock& clock() const override { return m_clock; }
    TimerId schedule(Duration delay, std::function<void()> work) override;
    TimerId scheduleRepeating(Duration interval, std::function<void()> work) override;
    void cancel(TimerId id) override;

private:
    struct Entry;
    TimerId add(Duration delay, bool repeating, std::function<void()> work);
    void startTimer(TimerId id, Duration delay, bool repeating);
    void fire(TimerId id);

    SystemClock m_clock;
    std::mutex m_mutex;
    TimerId m_nextId = 1;
    std::unordered_map<TimerId, std::shared_ptr<Entry>> m_entries;
};

// co_await sleepFor(scheduler, 100ms): resumes on the scheduler's thread after the delay.
class SleepAwaiter {
public:
    SleepAwaiter(Scheduler& scheduler, Duration delay) : m_scheduler(scheduler), m_delay(delay) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        m_scheduler.schedule(m_delay, [handle] { handle.resume(); });
    }
    void await_resume() const noexcept {}

private:
    Scheduler& m_scheduler;
    Duration m_delay;
};

inline SleepAwaiter sleepFor(Scheduler& scheduler, Duration delay) { return {scheduler, delay}; }

// Seconds as a Duration, for the design's fractional-second constants.
constexpr Duration seconds(double s)
{
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
