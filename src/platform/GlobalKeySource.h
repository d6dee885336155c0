#pragma once

#include "platform/KeyEvent.h"
#include "util/Status.h"

#include <functional>

// Every key and modifier change on the desktop, in any application, ours included. It only listens: no key
// is ever swallowed.
class GlobalKeySource {
public:
    // Runs on the source's own thread, in event order; it must return quickly and hop to the main thread for
    // anything more.
    using Handler = std::function<void(const KeyEvent&)>;

    virtual ~GlobalKeySource() = default;

    // Fails when keys cannot be observed in this session (no X display, no XInput2, a Wayland session).
    virtual Status start(Handler handler) = 0;
    // Once stop() has returned the handler is not called again.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};
