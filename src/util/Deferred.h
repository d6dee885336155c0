#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>

// A value that arrives once, from any thread, for one coroutine waiting on the main thread. The first
// resolve() wins and later ones are ignored, so a waiter raced by a final frame, a fail-over, a stop and a
// time-out is resumed exactly once. The waiter is always resumed from the main event loop, never inside
// resolve(), so no lock of the caller is held while it runs.
template <typename T> class Deferred : public std::enable_shared_from_this<Deferred<T>> {
public:
    static std::shared_ptr<Deferred> create() { return std::shared_ptr<Deferred>(new Deferred); }

    bool resolve(T value)
    {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard lock(m_mutex);
            if (m_value)
                return false;
            m_value.emplace(std::move(value));
            waiter = std::exchange(m_waiter, {});
        }
        if (waiter)
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
        return true;
    }

    bool isResolved() const
    {
        std::lock_guard lock(m_mutex);
        return m_value.has_value();
    }

    auto operator co_await()
    {
        struct Awaiter {
            std::shared_ptr<Deferred> self;
            // Never ready at once: a value that came before the waiter did (its thread may have run first)
            // still resumes it from the event loop, so what follows the co_await never depends on which
            // thread was quicker.
            bool await_ready() const { return false; }
            void await_suspend(std::coroutine_handle<> handle)
            {
                {
                    std::lock_guard lock(self->m_mutex);
                    if (!self->m_value) {
                        self->m_waiter = handle;
                        return;
                    }
                }
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(), [handle] { handle.resume(); }, Qt::QueuedConnection);
            }
            T await_resume()
            {
                std::lock_guard lock(self->m_mutex);
                return std::move(*self->m_value);
            }
        };
        return Awaiter{this->shared_from_this()};
    }

private:
    Deferred() = default;

    mutable std::mutex m_mutex;
    std::optional<T> m_value;
    std::coroutine_handle<> m_waiter;
};
