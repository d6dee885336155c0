#include "platform/linux/PingLedger.h"

#include <algorithm>

void PingLedger::notePress(unsigned keycode, Clock::time_point at)
{
    m_presses[keycode] = {at, ++m_pressCount};
}

bool PingLedger::isPinged(unsigned keycode) const
{
    const auto press = m_presses.find(keycode);
    return press == m_presses.end() || press->second.sequence <= m_pingedPresses;
}

void PingLedger::pingSent(Window window, long serial, Clock::time_point at)
{
    for (auto& [keycode, press] : m_presses) {
        if (press.sequence > m_pingedPresses)
            press.window = window;
    }
    m_pingedPresses = m_pressCount;
    m_pings.push_back({serial, window, m_pressCount, at});
    if (m_pings.size() > kMaxPingsOut)
        m_pings.pop_front();
}

void PingLedger::pingNotSent()
{
    for (auto& [keycode, press] : m_presses) {
        if (press.sequence > m_pingedPresses)
            press.pingable = false;
    }
    m_pingedPresses = m_pressCount;
}

bool PingLedger::takeAnswer(Window window, long serial)
{
    const auto answered = std::find_if(m_pings.begin(), m_pings.end(), [&](const Ping& ping) {
        return ping.serial == serial && ping.window == window;
    });
    if (answered == m_pings.end())
        return false; // the window manager's own, or one we gave up on
    std::uint64_t& read = m_answered[window];
    read = std::max(read, answered->covers);
    m_silent.erase(window);
    // The client answers in order: its pings sent before this one are answered too, or never will be.
    std::erase_if(m_pings, [&](const Ping& ping) { return ping.window == window && ping.serial <= serial; });
    forgetIdleWindows();
    return true;
}

void PingLedger::markSilent(Window window)
{
    m_silent.insert(window);
}

void PingLedger::expire(Clock::time_point now)
{
    std::erase_if(m_pings, [&](const Ping& ping) {
        if (ping.sentAt + kAnswerWait > now)
            return false;
        m_silent.insert(ping.window);
        return true;
    });
    forgetIdleWindows();
}

std::optional<PingLedger::Clock::time_point> PingLedger::nextExpiry() const
{
    std::optional<Clock::time_point> earliest;
    for (const Ping& ping : m_pings) {
        if (!earliest || ping.sentAt + kAnswerWait < *earliest)
            earliest = ping.sentAt + kAnswerWait;
    }
    return earliest;
}

bool PingLedger::isAnswered(const Press& press) const
{
    if (!press.pingable || press.window == 0)
        return false;
    const auto read = m_answered.find(press.window);
    return read != m_answered.end() && press.sequence <= read->second;
}

std::optional<PingLedger::Ping> PingLedger::pendingPing(const Press& press) const
{
    if (!press.pingable || press.window == 0 || m_silent.contains(press.window))
        return std::nullopt;
    for (const Ping& ping : m_pings) {
        if (ping.window == press.window && ping.covers >= press.sequence)
            return ping;
    }
    return std::nullopt;
}

bool PingLedger::isRead(unsigned keycode, Clock::time_point now) const
{
    const auto press = m_presses.find(keycode);
    if (press == m_presses.end())
        return true;
    return isAnswered(press->second) || (!pendingPing(press->second) && press->second.at + kQuiet <= now);
}

std::optional<PingLedger::Ping> PingLedger::pendingPing(unsigned keycode) const
{
    const auto press = m_presses.find(keycode);
    return press == m_presses.end() ? std::nullopt : pendingPing(press->second);
}

PingLedger::Clock::time_point PingLedger::quietEnd(unsigned keycode) const
{
    const auto press = m_presses.find(keycode);
    return press == m_presses.end() ? Clock::time_point{} : press->second.at + kQuiet;
}

PingLedger::Clock::time_point PingLedger::quietEndOfUnanswered() const
{
    Clock::time_point end{};
    for (const auto& [keycode, press] : m_presses) {
        if (!isAnswered(press))
            end = std::max(end, press.at + kQuiet);
    }
    return end;
}

void PingLedger::forgetIdleWindows()
{
    std::erase_if(m_answered, [&](const auto& entry) {
        const Window window = entry.first;
        return std::none_of(m_presses.begin(), m_presses.end(),
                            [&](const auto& press) { return press.second.window == window; }) &&
               std::none_of(m_pings.begin(), m_pings.end(),
                            [&](const Ping& ping) { return ping.window == window; });
    });
}
