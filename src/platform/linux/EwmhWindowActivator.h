#pragma once

#include "platform/WindowActivator.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

class X11PrivateDisplay;

// The EWMH way: a _NET_WM_DESKTOP request that moves the window to _NET_CURRENT_DESKTOP, then a
// _NET_ACTIVE_WINDOW request carrying the time of the user's request. Each is sent only when the window
// manager lists it in _NET_SUPPORTED. The user's input to our windows is timed from the events Qt receives,
// so create it on the main thread once the application object exists.
class EwmhWindowActivator final : public WindowActivator {
public:
    // Connects to `displayName`, or to $DISPLAY when empty, at once: Xlib's connection setup is not safe
    // beside other threads' Xlib calls, so build it with the other backends, before their threads work.
    // `launchTime` is the display server's time of the launch that started us (0 when unknown).
    explicit EwmhWindowActivator(QByteArray displayName = {}, quint32 launchTime = 0);
    ~EwmhWindowActivator() override;

    Outcome bringToUser(quint64 windowId, quint32 userTime) override;
    quint32 serverTime() override;
    quint32 latestUserTime() const override;

    // The display server's time of the launch that started this process: the launcher's time in the startup
    // notification id (DESKTOP_STARTUP_ID's "_TIME<n>") where it gave one, else the server's time now. 0 when
    // the server cannot be reached. Read it before the application object, which takes the id away.
    static quint32 launchTime(const QByteArray& startupId, const QByteArray& displayName = {});

private:
    class InputTimer;

    std::mutex m_mutex; // guards the connection: one request sequence at a time
    std::unique_ptr<X11PrivateDisplay> m_connection;
    QString m_failure; // why there is no connection
    std::unique_ptr<InputTimer> m_inputTimer;
};
