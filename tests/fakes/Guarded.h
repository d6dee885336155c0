#pragma once

#include <mutex>

// The lock of a fake used from several threads, with one-line locked reads and writes of its state.
class Guarded {
protected:
    template <typename T> T guarded(const T& member) const
    {
        std::lock_guard lock(m_mutex);
        return member;
    }
    template <typename T, typename V> void setGuarded(T& member, V&& value)
    {
        std::lock_guard lock(m_mutex);
        member = std::forward<V>(value);
    }

    mutable std::mutex m_mutex;
};
