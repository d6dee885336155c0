#pragma once

#include "platform/LocalKeyCapture.h"

#include <optional>

// Passes the key events a test hands it to the capture handler while a capture runs. Main thread only.
class FakeLocalKeyCapture final : public LocalKeyCapture {
public:
    Status begin(Handler handler) override;
    void end() override { m_handler = nullptr; }
    bool isActive() const override { return static_cast<bool>(m_handler); }

    void setBeginFailure(std::optional<QString> reason) { m_beginFailure = std::move(reason); }
    // True when a capture took (and so consumed) the event.
    bool deliver(const KeyEvent& event);

private:
    Handler m_handler;
    std::optional<QString> m_beginFailure;
};
