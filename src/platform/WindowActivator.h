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

    // Moves the window onto the workspace the user is looking at and asks the window manager to activate it
    // for the user's request made at `userTime` (the display server's time of the click, key press or launch
    // that asked for it; 0 when unknown). A window manager that guards the focus then refuses a request older
    // than what the user did since: a late request never takes the focus from the application the user went
    // on to. A desktop without workspaces or a window manager has nothing to do: success. May wait on the
    // display server, so never on the main thread.
    virtual Outcome bringToUser(quint64 windowId, quint32 userTime) = 0;

    // The display server's time now, for a request the user is making at this moment (a click on the tray
    // icon or its menu, which a D-Bus tray delivers with no input event on our windows). 0 when the server
    // cannot be reached. May wait on the display server, so never on the main thread.
    virtual quint32 serverTime() = 0;

    // The display server's time of the user's latest request to this application: the launch, then each key
    // or button press on one of its windows. 0 when unknown. Main thread.
    virtual quint32 latestUserTime() const = 0;
};
