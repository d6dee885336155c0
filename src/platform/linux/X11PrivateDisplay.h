#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

typedef struct _XDisplay Display;

// A connection of our own to the X server for one key backend. X errors on it are recorded for the owner to
// read instead of going to Xlib's process-wide handler (whose default ends the process); the hook belongs
// to this connection alone, so other threads' connections and handlers are untouched.
class X11PrivateDisplay {
public:
    // Connects to `displayName`, or to $DISPLAY when empty; null with `error` set when that fails.
    static std::unique_ptr<X11PrivateDisplay> open(const QByteArray& displayName, QString* error);
    ~X11PrivateDisplay(); // closes the connection
    X11PrivateDisplay(const X11PrivateDisplay&) = delete;
    X11PrivateDisplay& operator=(const X11PrivateDisplay&) = delete;

    Display* display() const { return m_display; }

    // Waits until the server has handled every request sent so far, then returns the first error code
    // recorded since the last call (0 for none) and forgets it.
    int syncAndTakeError();

private:
    explicit X11PrivateDisplay(Display* display);

    Display* m_display;
};
