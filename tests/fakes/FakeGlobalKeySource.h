#pragma once

#include "platform/GlobalKeySource.h"

#include <mutex>
#include <optional>

// Delivers the key events a test hands it, on the test's thread, while started.
class FakeGlobalKeySource final : public GlobalKeySource {
public:
    Status start(Handler handler) override;
    void stop() override;
    bool isRunning() const override;

    // While set, start() fails with this reason.
    void setStartFailure(std::optional<QString> reason);
    // Passes the event to the handler; false (and nothing delivered) when not running.
    bool deliver(const KeyEvent& event);

private:
    mutable std::mutex m_mutex;
    Handler m_handler;
    std::optional<QString> m_startFailure;
};
