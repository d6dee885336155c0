#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>

// What each client has read of the keys typed to it on spare keycodes. A busy client handles a burst of
// remaps late, and each time it fetches the keymap as it is by then: a key still waiting in its queue would
// be read under a newer mapping. So a spare keycode is remapped again only once the client its last press
// went to has read that press: after each batch the focused client is pinged (_NET_WM_PING), and a client
// handles its events in order, so its answer means every key sent to it before the ping has been read. Each
// client answers for its own keys only: the focus may move to another client while the first is still behind.
// Pure bookkeeping of the presses, pings and answers; the X work is the caller's.
class PingLedger {
public:
    using Clock = std::chrono::steady_clock;
    using Window = unsigned long;

    // However late the client is, the wait for an answer is bounded by this.
    static constexpr auto kAnswerWait = std::chrono::milliseconds(2000);
    // A client that takes no pings, or did not answer one in time, gets its keys' mappings changed this long
    // after their last press instead, which holds for a client that keeps up.
    static constexpr auto kQuiet = std::chrono::milliseconds(200);
    // Pings to a client that stopped answering pile up; a later ping to it covers an earlier one's keys.
    static constexpr std::size_t kMaxPingsOut = 64;

    struct Ping {
        long serial = 0;
        Window window = 0;
        std::uint64_t covers = 0; // every press up to this one
        Clock::time_point sentAt;
    };

    // A press of the spare key `keycode`, to whichever client has the focus.
    void notePress(unsigned keycode, Clock::time_point at);
    // Whether spare keys were pressed since the last ping (sent or not).
    bool hasPressesSincePing() const { return m_pressCount != m_pingedPresses; }
    // Whether the last press of `keycode` was followed by a ping, sent or not; true for a key never pressed.
    bool isPinged(unsigned keycode) const;

    // The ping `serial` went to `window`, the focused client: the presses since the last ping went to it.
    void pingSent(Window window, long serial, Clock::time_point at);
    // No ping could go out for the presses since the last one (no focused client that takes pings): they get
    // the quiet time.
    void pingNotSent();
    // The answer of `window` to the ping `serial`; false when no such ping of ours is out.
    bool takeAnswer(Window window, long serial);
    // `window` let a ping go unanswered for kAnswerWait: its later pings are sent, but not waited for, until
    // it answers one.
    void markSilent(Window window);
    // Gives up the pings out longer than kAnswerWait; their clients count as silent.
    void expire(Clock::time_point now);
    bool hasPingsOut() const { return !m_pings.empty(); }
    // The earliest time a ping out gives up; nothing when none is out.
    std::optional<Clock::time_point> nextExpiry() const;

    // Whether the client has read the last press of `keycode`, as far as we know `now`: it answered a ping
    // sent after it, or, for a client that we cannot ask, the quiet time after the press passed. True for a
    // key never pressed.
    bool isRead(unsigned keycode, Clock::time_point now) const;
    // The ping whose answer will tell that the last press of `keycode` has been read, if one is out to a
    // client that answers.
    std::optional<Ping> pendingPing(unsigned keycode) const;
    // When the quiet time after the last press of `keycode` ends (the distant past for a key never pressed).
    Clock::time_point quietEnd(unsigned keycode) const;
    // When the quiet time ends for every press not answered for.
    Clock::time_point quietEndOfUnanswered() const;

private:
    struct Press {
        Clock::time_point at;
        std::uint64_t sequence = 0; // its place among all spare-key presses, which pings cover
        Window window = 0;          // the client it went to, known once pinged
        bool pingable = true;       // false once no ping could go out for it
    };

    bool isAnswered(const Press& press) const;
    std::optional<Ping> pendingPing(const Press& press) const;
    // Forgets the answers of clients that no press or ping refers to any more.
    void forgetIdleWindows();

    std::map<unsigned, Press> m_presses; // spare keycodes, their last press
    std::uint64_t m_pressCount = 0;
    std::uint64_t m_pingedPresses = 0; // presses before the last ping (sent or, for want of a client, not)
    std::map<Window, std::uint64_t> m_answered; // per client: the presses up to which it answered a ping
    std::deque<Ping> m_pings;                   // sent, not answered yet
    std::set<Window> m_silent;
};
