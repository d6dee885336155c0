#pragma once

#include "util/Status.h"

#include <functional>

// Whether a compositing manager draws the screen. Only then do a window's transparent pixels show what lies
// beneath it; without one they show black, so a window with soft edges must be cut to its shape.
class CompositorWatch {
public:
    // Runs on the watch's own thread; it must return quickly and hop to the main thread for anything more.
    using Handler = std::function<void(bool composited)>;

    virtual ~CompositorWatch() = default;

    // Calls `handler` with whether a compositing manager runs now, then each time one comes or goes. Fails
    // when the screen cannot be watched (no X display, no XFixes); nothing is reported then.
    virtual Status start(Handler handler) = 0;
    // Once stop() has returned the handler is not called again.
    virtual void stop() = 0;
};
