#pragma once

#include "platform/HotKeyRegistrar.h"

#include <QList>
#include <optional>

// Holds the registered hot key; a test presses and releases it. Combinations can be marked as taken by
// another client. Main thread only, like the real one.
class FakeHotKeyRegistrar final : public HotKeyRegistrar {
public:
    HotKeyRegistration registerHotKey(HotKey key, Handler handler) override
    {
        unregisterHotKey();
        ++m_registrations;
        if (m_taken.contains(key))
            return HotKeyRegistration::taken(QStringLiteral("combination grabbed by another client"));
        m_key = key;
        m_handler = std::move(handler);
        return HotKeyRegistration::registered();
    }
    void unregisterHotKey() override
    {
        m_key.reset();
        m_handler = nullptr;
    }

    void setTaken(HotKey key) { m_taken.append(key); }
    std::optional<HotKey> registeredKey() const { return m_key; }
    int registrationCount() const { return m_registrations; }

    // Deliver to the handler of the registered key; false when none is registered.
    bool press(bool isAutoRepeat = false) { return fire(Action::Pressed, isAutoRepeat); }
    bool release() { return fire(Action::Released, false); }

private:
    bool fire(Action action, bool isAutoRepeat)
    {
        if (!m_key || !m_handler)
            return false;
        // The handler may re-register while it runs; keep it alive for the call.
        const Handler handler = m_handler;
        handler(action, isAutoRepeat);
        return true;
    }

    std::optional<HotKey> m_key;
    Handler m_handler;
    QList<HotKey> m_taken;
    int m_registrations = 0;
};
