#pragma once

#include "platform/HotKeyRegistrar.h"

#include <QList>
#include <optional>

// Holds the registered hot key; a test presses and releases it. Combinations can be marked as taken by
// another client. Main thread only, like the real one.
class FakeHotKeyRegistrar final : public HotKeyRegistrar {
public:
    HotKeyRegistration registerHotKey(HotKey key, Handler handler) override;
    void unregisterHotKey() override;

    void setTaken(HotKey key);
    std::optional<HotKey> registeredKey() const { return m_key; }
    int registrationCount() const { return m_registrations; }

    // Deliver to the handler of the registered key; false when none is registered.
    bool press(bool isAutoRepeat = false);
    bool release();

private:
    std::optional<HotKey> m_key;
    Handler m_handler;
    QList<HotKey> m_taken;
    int m_registrations = 0;
};
