#pragma once

#include "platform/LocalKeyCapture.h"

#include <optional>

// Passes the key events a test hands it to the capture handler while a capture runs. Main thread only.
class FakeLocalKeyCapture final : public LocalKeyCapture {
public:
    Status begin(Handler handler) override
    {
        if (m_beginFailure)
            return Status::failure(*m_beginFailure);
        m_handler = std::move(handler);
        return Status::success();
    }
    void end() override { m_handler = nullptr; }
    bool isActive() const override { return static_cast<bool>(m_handler); }

    void setBeginFailure(std::optional<QString> reason) { m_beginFailure = std::move(reason); }
    // True when a capture took (and so consumed) the event.
    bool deliver(const KeyEvent& event)
    {
        // A handler may end the capture while it runs; keep it alive for the call.
        const Handler handler = m_handler;
        if (handler)
            handler(event);
        return static_cast<bool>(handler);
    }

private:
    Handler m_handler;
    std::optional<QString> m_beginFailure;
};
