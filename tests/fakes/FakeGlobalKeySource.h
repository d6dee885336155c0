#pragma once

#include "fakes/Guarded.h"
#include "platform/GlobalKeySource.h"

#include <optional>

// Delivers the key events a test hands it, on the test's thread, while started.
class FakeGlobalKeySource final : public GlobalKeySource, private Guarded {
public:
    Status start(Handler handler) override
    {
        std::lock_guard lock(m_mutex);
        if (m_startFailure)
            return Status::failure(*m_startFailure);
        m_handler = std::move(handler);
        return Status::success();
    }
    void stop() override { setGuarded(m_handler, nullptr); }
    bool isRunning() const override { return guarded(m_handler) != nullptr; }

    // While set, start() fails with this reason.
    void setStartFailure(std::optional<QString> reason) { setGuarded(m_startFailure, std::move(reason)); }
    // Passes the event to the handler; false (and nothing delivered) when not running.
    bool deliver(const KeyEvent& event)
    {
        const Handler handler = guarded(m_handler);
        if (handler)
            handler(event);
        return handler != nullptr;
    }

private:
    Handler m_handler;
    std::optional<QString> m_startFailure;
};
