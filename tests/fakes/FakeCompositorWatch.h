#pragma once

#include "fakes/Guarded.h"
#include "platform/CompositorWatch.h"

#include <optional>

// Reports what a test tells it, on the test's thread, while started.
class FakeCompositorWatch final : public CompositorWatch, private Guarded {
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
    bool isRunning() const { return guarded(m_handler) != nullptr; }

    // While set, start() fails with this reason.
    void setStartFailure(std::optional<QString> reason) { setGuarded(m_startFailure, std::move(reason)); }
    // Passes the news to the handler; false (and nothing reported) when not running.
    bool report(bool composited)
    {
        const Handler handler = guarded(m_handler);
        if (handler)
            handler(composited);
        return handler != nullptr;
    }

private:
    Handler m_handler;
    std::optional<QString> m_startFailure;
};
