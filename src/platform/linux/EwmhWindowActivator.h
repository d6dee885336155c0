#pragma once

#include "platform/WindowActivator.h"

#include <QByteArray>
#include <memory>
#include <mutex>

class X11PrivateDisplay;

// The EWMH way: a _NET_WM_DESKTOP request that moves the window to _NET_CURRENT_DESKTOP, then a
// _NET_ACTIVE_WINDOW request with the pager's source indication, which window managers honour without their
// focus-stealing guard. Each is sent only when the window manager lists it in _NET_SUPPORTED.
class EwmhWindowActivator final : public WindowActivator {
public:
    // Connects to `displayName`, or to $DISPLAY when empty, on first use.
    explicit EwmhWindowActivator(QByteArray displayName = {});
    ~EwmhWindowActivator() override;

    Outcome bringToUser(quint64 windowId) override;

private:
    QByteArray m_displayName;
    std::mutex m_mutex; // guards the connection: one request sequence at a time
    std::unique_ptr<X11PrivateDisplay> m_connection;
};
