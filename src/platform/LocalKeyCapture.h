#pragma once

#include "platform/KeyEvent.h"
#include "util/Status.h"

#include <functional>

// Takes the keys addressed to our own windows while the user records a shortcut there. Every key and
// modifier change is consumed, so none reaches the widgets underneath. Main thread only; the handler runs on
// the main thread.
class LocalKeyCapture {
public:
    using Handler = std::function<void(const KeyEvent&)>;

    virtual ~LocalKeyCapture() = default;

    // Replaces a capture already running.
    virtual Status begin(Handler handler) = 0;
    // Once end() has returned the handler is not called again; harmless when nothing runs.
    virtual void end() = 0;
    virtual bool isActive() const = 0;
};
