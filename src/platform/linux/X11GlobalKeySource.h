#pragma once

#include "platform/GlobalKeySource.h"

#include <QByteArray>
#include <memory>

// Every key on the X display through XInput2 raw key events, selected on the root window: they reach us
// whichever window has the focus and whatever client holds a grab. A thread of its own reads them on a
// connection of its own and translates them into macOS terms. Raw events carry no modifier state, so the
// modifiers down are tracked per input device (their union is the state reported); a key event coming from
// an XTEST device is marked synthetic.
class X11GlobalKeySource final : public GlobalKeySource {
public:
    // Watches `displayName`, or $DISPLAY when empty.
    explicit X11GlobalKeySource(QByteArray displayName = {});
    ~X11GlobalKeySource() override; // stop()

    Status start(Handler handler) override;
    void stop() override;
    bool isRunning() const override;

private:
    class Reader;

    QByteArray m_displayName;
    std::unique_ptr<Reader> m_reader; // main thread
};
