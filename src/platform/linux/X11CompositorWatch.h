#pragma once

#include "platform/CompositorWatch.h"

#include <QByteArray>
#include <memory>

// A compositing manager owns the selection _NET_WM_CM_S<screen> while it runs. A thread of its own waits on a
// connection of its own for XFixes' news of the selection's owner: taken, or let go by its window or client.
class X11CompositorWatch final : public CompositorWatch {
public:
    // Watches `displayName`, or $DISPLAY when empty.
    explicit X11CompositorWatch(QByteArray displayName = {});
    ~X11CompositorWatch() override; // stop()

    Status start(Handler handler) override;
    void stop() override;

private:
    class Reader;

    QByteArray m_displayName;
    std::unique_ptr<Reader> m_reader; // the caller's thread
};
