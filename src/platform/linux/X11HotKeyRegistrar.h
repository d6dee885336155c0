#pragma once

#include "platform/HotKeyRegistrar.h"

#include <QByteArray>
#include <memory>

// One global hot key through a passive key grab (XGrabKey) on the root window, on a connection of our own
// read on the main thread. The combination is grabbed with and without Caps Lock and Num Lock, so it fires
// whatever their state. A combination another client holds is reported as taken (the server answers the
// grab with BadAccess). Auto-repeat is detectable: a held key repeats Pressed, and Released comes once.
class X11HotKeyRegistrar final : public HotKeyRegistrar {
public:
    // Grabs on `displayName`, or on $DISPLAY when empty; connects on the first registration.
    explicit X11HotKeyRegistrar(QByteArray displayName = {});
    ~X11HotKeyRegistrar() override;

    HotKeyRegistration registerHotKey(HotKey key, Handler handler) override;
    void unregisterHotKey() override;

private:
    class Grabber;

    QByteArray m_displayName;
    std::unique_ptr<Grabber> m_grabber;
};
