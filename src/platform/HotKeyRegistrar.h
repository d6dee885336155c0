#pragma once

#include "util/Status.h"

#include <QString>
#include <cstdint>
#include <functional>

// A key combination grabbed for us alone, in the stored shortcut's terms: macOS key code plus Carbon mask.
struct HotKey {
    std::uint16_t keyCode = 0;
    std::uint32_t carbonModifiers = 0;

    bool operator==(const HotKey&) const = default;
};

struct [[nodiscard]] HotKeyRegistration {
    Status status;
    bool keyTaken = false; // another client already holds the combination

    static HotKeyRegistration registered() { return {}; }
    static HotKeyRegistration taken(QString reason) { return {Status::failure(std::move(reason)), true}; }
    static HotKeyRegistration failed(QString reason) { return {Status::failure(std::move(reason)), false}; }
};

// Holds at most one global hot key. Main thread only; the handler runs on the main thread.
class HotKeyRegistrar {
public:
    enum class Action { Pressed, Released };
    // Holding the key down repeats Pressed with isAutoRepeat set; Released comes once, when it goes up.
    using Handler = std::function<void(Action action, bool isAutoRepeat)>;

    virtual ~HotKeyRegistrar() = default;

    // Replaces any earlier registration. The combination fires whatever the Caps Lock and Num Lock state.
    virtual HotKeyRegistration registerHotKey(HotKey key, Handler handler) = 0;
    virtual void unregisterHotKey() = 0;
};
