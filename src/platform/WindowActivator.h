#pragma once

#include "util/Status.h"

#include <QtGlobal>

// Brings one of our own top-level windows to the user, whatever workspace (virtual desktop) it sits on.
class WindowActivator {
public:
    virtual ~WindowActivator() = default;

    struct Outcome {
        Status status;
        // The window manager was asked to activate the window. Otherwise (no window manager, or one that
        // takes no such request) the caller activates it itself.
        bool activationRequested = false;
    };

    // Moves the window onto the workspace the user is looking at and asks the window manager to activate it,
    // as a pager would. A desktop without workspaces or a window manager has nothing to do: success. May wait
    // on the display server, so never on the main thread.
    virtual Outcome bringToUser(quint64 windowId) = 0;
};
