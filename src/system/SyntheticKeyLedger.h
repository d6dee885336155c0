#pragma once

#include "platform/InputSynth.h"
#include "platform/KeyEvent.h"
#include "util/Scheduler.h"

#include <deque>
#include <mutex>
#include <optional>

// The keys we post ourselves. The injector records each key before it posts it; the key monitor asks the
// ledger about every event that came through the display server's synthetic-input device and drops the ones
// that match an entry, each entry once. Everything else, real keys above all, passes. Safe from any thread.
class SyntheticKeyLedger {
public:
    // A posted key comes back within milliseconds; an entry older than this is a key whose echo we never saw.
    static constexpr Duration kEntryLifetime = std::chrono::seconds(2);
    // Bounds the ledger when no echo is consumed at all (no key monitor running).
    static constexpr std::size_t kCapacity = 1024;

    explicit SyntheticKeyLedger(const Clock& clock) : m_clock(clock) {}

    void record(const KeyEvent& posted);
    // For InputSynth::setPostedKeyObserver.
    InputSynth::PostedKeyObserver observer();

    // True (and the entry used up) when the event is synthetic and matches a live entry: the same key going
    // the same way. Press or release of a FlagsChanged event is read from its flags.
    bool consumeMatch(const KeyEvent& observed);

    std::size_t size() const;

private:
    struct Entry {
        std::uint16_t keyCode = 0;
        std::uint32_t nativeCode = 0;
        std::optional<bool> isPress;
        MonotonicTime postedAt;
    };
    static Entry entryFor(const KeyEvent& event, MonotonicTime at);
    static bool matches(const Entry& posted, const Entry& observed);
    void dropExpired(MonotonicTime now);

    const Clock& m_clock;
    mutable std::mutex m_mutex;
    std::deque<Entry> m_entries; // oldest first
};
