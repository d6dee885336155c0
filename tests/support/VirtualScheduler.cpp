#include "support/VirtualScheduler.h"

Duration VirtualScheduler::elapsed() const
{
    std::lock_guard lock(m_mutex);
    return m_elapsed;
}

std::size_t VirtualScheduler::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

bool VirtualScheduler::hasTimerDueAt(Duration at) const
{
    std::lock_guard lock(m_mutex);
    const auto first = m_queue.lower_bound({at, 0});
    return first != m_queue.end() && first->first == at;
}

TimerId VirtualScheduler::schedule(Duration delay, std::function<void()> work)
{
    return add(delay, Duration::zero(), false, std::move(work));
}

TimerId VirtualScheduler::scheduleRepeating(Duration interval, std::function<void()> work)
{
    return add(interval, interval, true, std::move(work));
}

TimerId VirtualScheduler::add(Duration delay, Duration interval, bool repeating, std::function<void()> work)
{
    std::lock_guard lock(m_mutex);
    const TimerId id = m_nextId++;
    m_entries.emplace(id, Entry{std::move(work), interval, repeating});
    m_queue.emplace(m_elapsed + std::max(delay, Duration::zero()), id);
    return id;
}

void VirtualScheduler::cancel(TimerId id)
{
    std::lock_guard lock(m_mutex);
    m_entries.erase(id); // its queue slot is skipped when reached
}

void VirtualScheduler::stall(Duration by)
{
    std::lock_guard lock(m_mutex);
    m_elapsed += by;
}

void VirtualScheduler::advance(Duration by)
{
    std::unique_lock lock(m_mutex);
    const Duration target = m_elapsed + by;
    while (!m_queue.empty() && m_queue.begin()->first <= target) {
        const auto [due, id] = *m_queue.begin();
        m_queue.erase(m_queue.begin());
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            continue;
        m_elapsed = std::max(m_elapsed, due); // late after a stall
        std::function<void()> work = it->second.work;
        if (it->second.repeating) {
            // A zero interval would never let time move on; like a real timer, a late one skips the ticks
            // it missed.
            const Duration interval = std::max(it->second.interval, Duration(1));
            const Duration next = due + interval;
            m_queue.emplace(next > m_elapsed ? next : m_elapsed + interval, id);
        } else {
            m_entries.erase(it);
        }
        lock.unlock();
        work();
        lock.lock();
    }
    m_elapsed = target;
}
